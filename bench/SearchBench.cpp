// Name search over 100,000 names (or the count given as the first argument), a fifth of them
// Chinese: milliseconds per query of SearchText over every name, beside a plain loop of
// QString::contains without regard to case over the same names in the same run.
#include "cache/SearchText.h"

#include <QElapsedTimer>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <vector>

namespace {

QStringList MakeNames(int count) {
    const QStringList words =
        QString::fromUtf8("Report budget meeting notes final draft summary invoice photo scan "
                          "backup contract plan design review data export archive")
            .split(QLatin1Char(' '));
    // Common characters, some with several readings (长 重 行 和 的 会 传 说 调 还 都 着).
    const QString hanzi = QString::fromUtf8("中国人项目资料会议记录报告财务预算合同设计方案长城重要行业和平的"
                                            "年度总结数据备份照片扫描传说调查还款都市着手计划审核文件");
    const QStringList exts =
        QString::fromUtf8(".docx .xlsx .pdf .txt .jpg .png .zip .pptx").split(QLatin1Char(' '));
    std::mt19937 rng(20240501);
    auto pick = [&rng](int n) { return int(rng() % unsigned(n)); };
    QStringList names;
    names.reserve(count);
    for (int i = 0; i < count; ++i) {
        QString name;
        if (i % 5 == 0) {
            const int len = 2 + pick(8);
            for (int k = 0; k < len; ++k)
                name += hanzi.at(pick(hanzi.size()));
            name += QString::number(pick(1000));
        } else {
            const int len = 1 + pick(3);
            for (int k = 0; k < len; ++k)
                name += (k ? QStringLiteral(" ") : QString()) + words.at(pick(words.size()));
            name += QStringLiteral(" %1").arg(2000 + pick(25));
        }
        names.append(name + exts.at(pick(exts.size())));
    }
    return names;
}

// The best of `rounds` timed passes, in milliseconds; `hits` gets the last pass's count.
double BestMs(int rounds, int& hits, const std::function<int()>& pass) {
    double best = 1e300;
    for (int r = 0; r < rounds; ++r) {
        QElapsedTimer timer;
        timer.start();
        hits = pass();
        best = std::min(best, double(timer.nsecsElapsed()) / 1e6);
    }
    return best;
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100000;
    const int rounds = 5;
    const QStringList names = MakeNames(count);
    std::printf("%d names, a fifth Chinese; best of %d passes\n", count, rounds);
    std::printf("%-8s %8s %14s %8s %14s %7s\n", "query", "hits", "SearchText ms", "hits", "contains ms",
                "ratio");
    for (const char* query : {"report", "a", "zgr"}) {
        const QString text = QString::fromUtf8(query);
        SEARCH_INFO info;
        info.Init(text);
        int searchHits = 0;
        const double searchMs = BestMs(rounds, searchHits, [&] {
            info.Init(text);
            int hits = 0;
            for (const QString& name : names)
                hits += SearchText(name, info);
            return hits;
        });
        int plainHits = 0;
        const double plainMs = BestMs(rounds, plainHits, [&] {
            int hits = 0;
            for (const QString& name : names)
                hits += name.contains(text, Qt::CaseInsensitive);
            return hits;
        });
        std::printf("%-8s %8d %14.2f %8d %14.2f %7.1f\n", query, searchHits, searchMs, plainHits, plainMs,
                    plainMs > 0 ? searchMs / plainMs : 0.0);
    }
    return 0;
}
