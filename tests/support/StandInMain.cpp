// Runs the stand-in of the cloud service on loopback, for trying things by hand and for benchmarks
// that need it in a process of its own:
//   cloud_standin_run [--tls] [--self-signed] [--bench] [--keep-alive N] [--pre-encode]
//                     [--file /PATH=SIZE]... [--kill-point METHOD=N]... [--demo] [--block-dir DIR]
// prints its addresses, logs every request (with --bench: none, and uploaded files keep no bytes,
// so that gigabytes pass through without piling up), answers "/echo" with what it received and
// "/intf.php" as the service's API (signature check, the default configuration reply naming
// itself), with one demo account that can log in (its credential is printed). --keep-alive lets a
// connection serve N requests; --pre-encode keeps encoded blocks for later replies; --file puts a
// file of SIZE bytes (a fixed pattern, printable and partly compressible) in the cloud tree.
// --kill-point holds the Nth API request of METHOD (counted from the start) before it is answered
// and prints "kill-point METHOD N" when it arrives: whoever reads the output may kill the client
// then; the request stays held until the stand-in ends.
// --demo is the service for a try of the application (scripts/run.sh): the cloud stand-in with TLS
// from a test CA (its jump URLs are https), the identity server on a listener of its own with
// alice/secret and bob/secret, whose pairs reach the cloud side (alice owns enterprise 20001 and is
// a member of 20002), a small sample tree in 20001, and a pair issued to alice at start so that a
// remembered login can sign in at once. It prints the identity server's address, the CA file the
// client must trust for it, and alice's pair, each on a line beginning "demo"; it prints every
// request but keeps none in memory.
// --block-dir keeps the bytes of every block in a file of its own in DIR (made when missing), so
// that gigabytes of files tried by hand do not pile up in memory.
#include "support/CloudStandIn.h"
#include "support/StandInApi.h"
#include "support/StandInDemo.h"
#include "support/StandInIdentity.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <map>
#include <memory>
#include <mutex>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {
volatile std::sig_atomic_t g_quit = 0;

void OnSignal(int) {
    g_quit = 1;
}

std::string Describe(const RecordedRequest& rec) {
    std::string text = rec.method + " " + rec.path + (rec.query.empty() ? "" : "?" + rec.query) + "\n";
    for (const auto& [name, value] : rec.headers)
        text += "  " + name + ": " + value + "\n";
    for (const auto& [name, value] : rec.cookies)
        text += "  cookie " + name + " = " + value + "\n";
    for (const FormPart& part : rec.parts)
        text += "  part " + part.name + " file=" + part.filename +
                " bytes=" + std::to_string(part.content.size()) + "\n";
    if (!rec.body.empty())
        text += "  body " + std::to_string(rec.body.size()) + " bytes\n";
    return text;
}

// `size` bytes of letters and digits in runs of repeated characters: compressible, but not to
// nothing, and different in every block.
std::string FileBytes(unsigned long long size, unsigned seed) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string bytes(size_t(size), '\0');
    unsigned state = seed * 2654435761u + 1;
    for (size_t i = 0; i < bytes.size();) {
        state = state * 1103515245u + 12345u;
        const size_t run = std::min<size_t>(1 + ((state >> 8) & 3), bytes.size() - i);
        bytes.replace(i, run, run, kAlphabet[(state >> 16) % (sizeof kAlphabet - 1)]);
        i += run;
    }
    return bytes;
}
} // namespace

int main(int argc, char** argv) {
    StandInOptions options;
    bool bench = false;
    bool preEncode = false;
    bool demoMode = false;
    std::string blockDir;
    std::vector<std::pair<std::string, unsigned long long>> files;
    std::map<std::string, int> killPoints; // API method -> the request held
    for (int i = 1; i < argc; ++i) {
        const char* eq = nullptr;
        if (strcmp(argv[i], "--tls") == 0) {
            options.tls = TlsMode::TestCa;
        } else if (strcmp(argv[i], "--self-signed") == 0) {
            options.tls = TlsMode::SelfSigned;
        } else if (strcmp(argv[i], "--bench") == 0) {
            bench = true;
            // Memory freed stays with the process: with 64 workers each request's buffers would
            // otherwise go back to the system and fault in fresh pages for the next one, and the
            // benches would measure the stand-in's page faults.
            mallopt(M_TRIM_THRESHOLD, 512 << 20);
            mallopt(M_MMAP_THRESHOLD, 64 << 20);
            options.logContentLimit = 0;
            options.workers = 64;
        } else if (strcmp(argv[i], "--block-dir") == 0 && i + 1 < argc) {
            blockDir = argv[++i];
        } else if (strcmp(argv[i], "--demo") == 0) {
            demoMode = true;
            options.keepLog = false;
            options.tls = TlsMode::TestCa;
        } else if (strcmp(argv[i], "--pre-encode") == 0) {
            preEncode = true;
        } else if (strcmp(argv[i], "--keep-alive") == 0 && i + 1 < argc) {
            options.keepAliveRequests = atoi(argv[++i]);
        } else if (strcmp(argv[i], "--file") == 0 && i + 1 < argc && (eq = strchr(argv[i + 1], '='))) {
            files.emplace_back(std::string(argv[i + 1], size_t(eq - argv[i + 1])),
                               strtoull(eq + 1, nullptr, 10));
            ++i;
        } else if (strcmp(argv[i], "--kill-point") == 0 && i + 1 < argc && (eq = strchr(argv[i + 1], '='))) {
            killPoints[std::string(argv[i + 1], size_t(eq - argv[i + 1]))] = atoi(eq + 1);
            ++i;
        } else {
            fprintf(stderr,
                    "usage: %s [--tls] [--self-signed] [--bench] [--keep-alive N] [--pre-encode] "
                    "[--file /PATH=SIZE]... [--kill-point METHOD=N]... [--demo] [--block-dir DIR]\n",
                    argv[0]);
            return 2;
        }
    }
    CloudStandIn standIn;
    std::mutex printLock;
    std::map<std::string, int> seen; // API requests by method, guarded by printLock
    for (const auto& [method, n] : killPoints)
        standIn.addFault(
            FaultRule{"/intf.php", method, true, Listener::Primary, n, 1, Fault{FaultKind::Hold}});
    const auto print = [&](const RecordedRequest& rec) {
        std::lock_guard<std::mutex> guard(printLock);
        fputs(Describe(rec).c_str(), stdout);
        fflush(stdout);
    };
    if (!bench || !killPoints.empty()) {
        standIn.setObserver([&, bench](const RecordedRequest& rec) {
            std::lock_guard<std::mutex> guard(printLock);
            if (!bench)
                fputs(Describe(rec).c_str(), stdout);
            const std::string method = rec.path == "/intf.php" ? rec.queryArg("method") : std::string();
            const auto point = killPoints.find(method);
            if (point != killPoints.end() && ++seen[method] == point->second)
                printf("kill-point %s %d\n", method.c_str(), point->second);
            fflush(stdout);
        });
    }
    standIn.route("*", "/echo", [](const RecordedRequest& rec) {
        StandInReply reply;
        reply.contentType = "text/plain";
        reply.body = Describe(rec);
        return reply;
    });
    StandInApi api(standIn);
    if (!blockDir.empty() && !api.tree().blocks().setFolder(blockDir)) {
        fprintf(stderr, "cannot use %s for the blocks\n", blockDir.c_str());
        return 1;
    }
    api.uploads().setKeepBytes(!bench);
    StandInUser demo;
    demo.qid = "1001";
    demo.q = "demo";
    demo.t = "demo";
    demo.name = "Demo";
    demo.totalSize = 10ULL << 30;
    demo.entTotalSize = 100ULL << 30;
    api.accounts().add(demo);
    api.accounts().addEnterprise(demo.qid, EnterpriseKind::Owner, {"9001", "Demo Enterprise", true});
    api.tree().setOwner("9001", demo.qid);
    api.downloads().setPreEncoded(preEncode);
    // For benchmarks that log in first and time one download: "/bench/file?path=P&size=N" puts a
    // file in the tree after the login (answer: its content hash), "/bench/raw?path=P" answers its
    // bytes as one plain body, "/bench/encode?compress=0|1&encrypt=0|1" sets whether blocks may
    // travel compressed and encodes every block ahead that way for the demo account.
    std::mutex rawLock;
    std::map<std::string, std::shared_ptr<const std::string>> raw; // guarded by rawLock
    standIn.route("POST", "/bench/file", [&](const RecordedRequest& rec) {
        auto bytes = std::make_shared<const std::string>(
            FileBytes(strtoull(rec.queryArg("size").c_str(), nullptr, 10), 7));
        StandInReply reply;
        reply.contentType = "text/plain";
        reply.body = api.tree().addFileBytes(rec.queryArg("path"), *bytes).empty()
                         ? std::string()
                         : StandInTree::ContentHash(*bytes);
        std::lock_guard<std::mutex> guard(rawLock);
        raw[rec.queryArg("path")] = bytes;
        return reply;
    });
    standIn.route("GET", "/bench/raw", [&](const RecordedRequest& rec) {
        StandInReply reply;
        reply.contentType = "application/octet-stream";
        std::lock_guard<std::mutex> guard(rawLock);
        const auto found = raw.find(rec.queryArg("path"));
        if (found == raw.end())
            reply.status = 404;
        else
            reply.sharedBody = found->second;
        return reply;
    });
    standIn.route("POST", "/bench/encode", [&](const RecordedRequest& rec) {
        StandInReply reply;
        reply.contentType = "text/plain";
        api.downloads().setCompress(rec.queryArg("compress") == "1");
        reply.status = api.downloads().preEncode(demo.qid, rec.queryArg("compress") == "1",
                                                 rec.queryArg("encrypt") == "1")
                           ? 200
                           : 409;
        return reply;
    });
    if (demoMode)
        AddSampleTree(api.tree());
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string& path = files[i].first;
        if (api.tree().addFileBytes(path, FileBytes(files[i].second, unsigned(i))).empty()) {
            fprintf(stderr, "cannot add %s\n", path.c_str());
            return 1;
        }
    }
    api.accounts().bumpVersion();
    if (!standIn.Start(options)) {
        fprintf(stderr, "cannot start: %s\n", standIn.errorText().c_str());
        return 1;
    }
    printf("primary   %s\nsecondary %s\nrefused   127.0.0.1:%d\n",
           standIn.url(Listener::Primary, "/").c_str(), standIn.url(Listener::Secondary, "/").c_str(),
           standIn.refusedPort());
    printf("account   qid %s, credential \"Q=%s; T=%s;\"\n", demo.qid.c_str(), demo.q.c_str(),
           demo.t.c_str());
    if (options.tls != TlsMode::None)
        printf("tls       %s (CA: %s)\n", standIn.url(Listener::Tls, "/").c_str(), standIn.caFile().c_str());
    CloudStandIn identityServer;
    std::unique_ptr<StandInIdentity> identity;
    if (demoMode) {
        StandInOptions identityOptions;
        identityOptions.tls = TlsMode::TestCa;
        if (!identityServer.Start(identityOptions)) {
            fprintf(stderr, "cannot start the identity server: %s\n", identityServer.errorText().c_str());
            return 1;
        }
        identityServer.setObserver(print);
        identity = std::make_unique<StandInIdentity>(identityServer);
        LinkIdentityToCloud(*identity, api.accounts());
        std::string q;
        std::string t;
        identity->issuePair("alice", q, t);
        printf("demo identity %s\n", identity->hostReplacement().c_str());
        printf("demo ca %s\n", identityServer.caFile().c_str());
        printf("demo cookie 10001 %s %s\n", q.c_str(), t.c_str());
        printf("demo accounts alice/secret (10001, enterprises 20001 and 20002), bob/secret (10002)\n");
    }
    fflush(stdout);
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    while (!g_quit)
        pause();
    identityServer.Stop();
    standIn.Stop();
    return 0;
}
