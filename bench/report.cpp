#include "bench/report.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace hdgrab::bench {

double Series::min() const {
    return values_.empty() ? 0.0 : *std::min_element(values_.begin(), values_.end());
}

double Series::max() const {
    return values_.empty() ? 0.0 : *std::max_element(values_.begin(), values_.end());
}

double Series::median() const {
    if (values_.empty()) {
        return 0.0;
    }
    std::vector<double> sorted = values_;
    std::sort(sorted.begin(), sorted.end());
    const size_t middle = sorted.size() / 2;
    if (sorted.size() % 2 == 1) {
        return sorted[middle];
    }
    return (sorted[middle - 1] + sorted[middle]) / 2.0;
}

double Series::percentile(double fraction) const {
    if (values_.empty()) {
        return 0.0;
    }
    std::vector<double> sorted = values_;
    std::sort(sorted.begin(), sorted.end());
    const double clamped = std::clamp(fraction, 0.0, 1.0);
    const auto rank = static_cast<size_t>(std::ceil(clamped * static_cast<double>(sorted.size())));
    return sorted[rank == 0 ? 0 : rank - 1];
}

std::string describe(const Series& series, const std::string& unit, int decimals) {
    if (series.empty()) {
        return "no samples";
    }
    return fmt::format("{:.{}f} {} (min {:.{}f}, max {:.{}f}, n={})", series.median(), decimals,
                       unit, series.min(), decimals, series.max(), decimals, series.size());
}

Verdict judge(const Series& series, double goal) {
    if (series.empty()) {
        return Verdict::failed;
    }
    return judge(series.median(), goal);
}

Verdict judge(double measured, double goal) {
    return measured <= goal ? Verdict::pass : Verdict::miss;
}

const char* verdict_name(Verdict verdict) {
    switch (verdict) {
        case Verdict::pass:
            return "pass";
        case Verdict::miss:
            return "MISS";
        case Verdict::info:
            return "-";
        case Verdict::failed:
            return "FAILED";
    }
    return "?";
}

std::string format_table(const std::vector<Row>& rows) {
    const std::string headers[] = {"figure", "goal", "measured (median)", "result"};
    size_t widths[4] = {headers[0].size(), headers[1].size(), headers[2].size(), headers[3].size()};
    for (const Row& row : rows) {
        widths[0] = std::max(widths[0], row.figure.size());
        widths[1] = std::max(widths[1], row.goal.size());
        widths[2] = std::max(widths[2], row.measured.size());
        widths[3] = std::max(widths[3], std::string(verdict_name(row.verdict)).size());
    }
    auto line = [&](const std::string& a, const std::string& b, const std::string& c,
                    const std::string& d) {
        return fmt::format("| {:<{}} | {:<{}} | {:<{}} | {:<{}} |\n", a, widths[0], b, widths[1], c,
                           widths[2], d, widths[3]);
    };
    std::string table = line(headers[0], headers[1], headers[2], headers[3]);
    table += fmt::format("|{:-<{}}|{:-<{}}|{:-<{}}|{:-<{}}|\n", "", widths[0] + 2, "",
                         widths[1] + 2, "", widths[2] + 2, "", widths[3] + 2);
    for (const Row& row : rows) {
        table += line(row.figure, row.goal, row.measured, verdict_name(row.verdict));
    }
    return table;
}

}  // namespace hdgrab::bench
