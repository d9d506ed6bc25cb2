#pragma once
// A console reporter that also keeps one rate counter of every run, by benchmark name, so that a
// program can end with the ratio of two walks measured in the same run.

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

class RateReporter : public benchmark::ConsoleReporter {
public:
    explicit RateReporter(std::string counter) : m_counter(std::move(counter)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const auto it = run.counters.find(m_counter);
            if (it != run.counters.end())
                m_rates[run.run_name.function_name] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // The rate of the benchmark named `name`; 0 when it did not run.
    double Rate(const std::string& name) const {
        const auto it = m_rates.find(name);
        return it == m_rates.end() ? 0.0 : it->second;
    }

private:
    std::string m_counter;
    std::map<std::string, double> m_rates;
};
