// Runs the stand-in of the cloud service on loopback for trying things by hand:
//   cloud_standin_run [--tls] [--self-signed] [--bench]
// prints its addresses, logs every request (with --bench: none, and uploaded files keep no bytes,
// so that gigabytes pass through without piling up), answers "/echo" with what it received and "/intf.php"
// as the service's API (signature check, the default configuration reply naming itself), with one
// demo account that can log in (its credential is printed).
#include "support/CloudStandIn.h"
#include "support/StandInApi.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unistd.h>

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
} // namespace

int main(int argc, char** argv) {
    StandInOptions options;
    bool bench = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--tls") == 0) {
            options.tls = TlsMode::TestCa;
        } else if (strcmp(argv[i], "--self-signed") == 0) {
            options.tls = TlsMode::SelfSigned;
        } else if (strcmp(argv[i], "--bench") == 0) {
            bench = true;
            options.logContentLimit = 0;
            options.workers = 64;
        } else {
            fprintf(stderr, "usage: %s [--tls] [--self-signed] [--bench]\n", argv[0]);
            return 2;
        }
    }
    CloudStandIn standIn;
    std::mutex printLock;
    if (!bench)
        standIn.setObserver([&printLock](const RecordedRequest& rec) {
            std::lock_guard<std::mutex> guard(printLock);
            fputs(Describe(rec).c_str(), stdout);
            fflush(stdout);
        });
    standIn.route("*", "/echo", [](const RecordedRequest& rec) {
        StandInReply reply;
        reply.contentType = "text/plain";
        reply.body = Describe(rec);
        return reply;
    });
    StandInApi api(standIn);
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
    fflush(stdout);
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    while (!g_quit)
        pause();
    standIn.Stop();
    return 0;
}
