#include "support/StandInDemo.h"

void AddIssuedAccount(StandInAccounts& accounts, const std::string& qid, const std::string& q,
                      const std::string& t, const std::string& onlineService) {
    StandInUser user;
    user.qid = qid;
    user.q = q;
    user.t = t;
    user.name = qid == "10001" ? "Alice" : "Bob";
    user.onlineService = onlineService;
    user.totalSize = 10ULL << 30; // a quota to show beside the sample tree's use
    user.entTotalSize = 100ULL << 30;
    accounts.add(user);
    if (qid == "10001") {
        accounts.addEnterprise(qid, EnterpriseKind::Owner, {"20001", "Alice Co", false});
        accounts.addEnterprise(qid, EnterpriseKind::Member, {"20002", "Partner Co", true});
    } else if (qid == "10002") {
        accounts.addEnterprise(qid, EnterpriseKind::Owner, {"20003", "Bob Co", false});
    }
}

void LinkIdentityToCloud(StandInIdentity& identity, StandInAccounts& accounts) {
    identity.setIssueObserver([&accounts](const std::string& qid, const std::string& q, const std::string& t) {
        AddIssuedAccount(accounts, qid, q, t);
    });
}

void AddSampleTree(StandInTree& tree) {
    tree.setOwner("20001", "10001");
    tree.addFolder("/docs");
    tree.addFileBytes("/docs/plan.txt", "Plan: sign in, look around, add a file to docs.\n");
    tree.addFileBytes("/docs/notes.txt", "Notes kept in the cloud.\n");
    tree.addFolder("/photos");
    tree.addFileBytes("/photos/trip.txt", "Pictures of the trip will go here.\n");
    tree.addFileBytes("/readme.txt", "A sample tree of the demo account.\n");
}
