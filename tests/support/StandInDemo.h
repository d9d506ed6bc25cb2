#pragma once
// What the identity server's accounts are on the cloud side, and a small cloud tree, shared by the
// application's tests (StandInPair, the end-to-end test) and the runner's demo.

#include "support/StandInAccounts.h"
#include "support/StandInIdentity.h"
#include "support/StandInTree.h"

#include <string>

// The cloud account of a pair the identity server issued, with the account's enterprises: alice
// (10001, "Alice") owns 20001 ("Alice Co") and is a member of 20002 ("Partner Co"); bob (10002,
// "Bob") owns 20003 ("Bob Co"). The latest pair of each account is the one the cloud accepts.
void AddIssuedAccount(StandInAccounts& accounts, const std::string& qid, const std::string& q,
                      const std::string& t, const std::string& onlineService = std::string());
// Every pair `identity` issues from now on reaches `accounts` before the client can use it.
void LinkIdentityToCloud(StandInIdentity& identity, StandInAccounts& accounts);
// A small tree of Alice Co (20001): the folders "docs" (with "plan.txt" and "notes.txt") and
// "photos" (with "trip.txt"), and "readme.txt" at the root, in that order.
void AddSampleTree(StandInTree& tree);
