// Throughput of the content hash (CloudHashFile) on a 256 MiB file, beside a plain single-threaded
// EVP SHA-1 of the same bytes held in memory (the limit) and a plain read-and-SHA-1 loop over the
// file (the limit with the I/O). Run: build/bench/bench_hash
#include "RateReporter.h"
#include "common/Hash.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <map>
#include <random>
#include <vector>

namespace {

constexpr qint64 kFileSize = 256 * 1024 * 1024;

QString g_path;
QByteArray g_bytes; // the file's content, for the in-memory digest

bool MakeFile(const QString& path) {
    g_bytes.resize(int(kFileSize));
    std::mt19937_64 random(42);
    auto* words = reinterpret_cast<quint64*>(g_bytes.data());
    for (qint64 i = 0; i < kFileSize / 8; ++i)
        words[i] = random();
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(g_bytes) == kFileSize && file.flush();
}

void BM_CloudHashFile(benchmark::State& state) {
    for (auto _ : state) {
        const QByteArray digest = CloudHashFile(g_path);
        if (digest.isEmpty())
            state.SkipWithError("CloudHashFile failed");
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * kFileSize);
}

void BM_Sha1InMemory(benchmark::State& state) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    for (auto _ : state) {
        EVP_DigestInit_ex(ctx, EVP_sha1(), nullptr);
        EVP_DigestUpdate(ctx, g_bytes.constData(), size_t(g_bytes.size()));
        EVP_DigestFinal_ex(ctx, digest, &length);
        benchmark::DoNotOptimize(digest);
    }
    EVP_MD_CTX_free(ctx);
    state.SetBytesProcessed(state.iterations() * kFileSize);
}

void BM_ReadAndSha1(benchmark::State& state) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    std::vector<char> buffer(static_cast<size_t>(CLOUD_BLOCK_SIZE));
    for (auto _ : state) {
        std::FILE* file = std::fopen(QFile::encodeName(g_path).constData(), "rb");
        if (!file) {
            state.SkipWithError("cannot open the file");
            break;
        }
        EVP_DigestInit_ex(ctx, EVP_sha1(), nullptr);
        size_t n = 0;
        while ((n = std::fread(buffer.data(), 1, buffer.size(), file)) > 0)
            EVP_DigestUpdate(ctx, buffer.data(), n);
        std::fclose(file);
        EVP_DigestFinal_ex(ctx, digest, &length);
        benchmark::DoNotOptimize(digest);
    }
    EVP_MD_CTX_free(ctx);
    state.SetBytesProcessed(state.iterations() * kFileSize);
}

BENCHMARK(BM_CloudHashFile)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Sha1InMemory)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ReadAndSha1)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void PrintRatio(const RateReporter& reporter) {
    const double cloud = reporter.Rate("BM_CloudHashFile");
    const double memory = reporter.Rate("BM_Sha1InMemory");
    const double read = reporter.Rate("BM_ReadAndSha1");
    if (cloud <= 0 || memory <= 0 || read <= 0)
        return;
    constexpr double MiB = 1024.0 * 1024.0;
    std::printf("CloudHashFile: %.0f MiB/s, plain EVP SHA-1 in memory: %.0f MiB/s, ratio %.2f "
                "(target >= 0.90)\n",
                cloud / MiB, memory / MiB, cloud / memory);
    std::printf("plain read + EVP SHA-1 of the file: %.0f MiB/s, CloudHashFile against it: %.2f\n",
                read / MiB, cloud / read);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    g_path = dir.filePath(QStringLiteral("content.bin"));
    if (!MakeFile(g_path)) {
        std::fprintf(stderr, "cannot write the 256 MiB test file in %s\n", qPrintable(dir.path()));
        return 1;
    }
    RateReporter reporter("bytes_per_second");
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintRatio(reporter);
    benchmark::Shutdown();
    return 0;
}
