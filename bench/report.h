// Samples with min/median/max and the one table the benchmark prints.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace hdgrab::bench {

// Repeated measurements of one figure.
class Series {
  public:
    void add(double value) { values_.push_back(value); }
    size_t size() const { return values_.size(); }
    bool empty() const { return values_.empty(); }
    double min() const;
    double max() const;
    // The middle value; the mean of the two middle ones for an even count.
    double median() const;
    // The value below which `fraction` (0..1) of the samples lie (nearest rank).
    double percentile(double fraction) const;

  private:
    std::vector<double> values_;
};

enum class Verdict { pass, miss, info, failed };

struct Row {
    std::string figure;
    std::string goal;      // e.g. "<= 205 ms", or "-" for figures without a goal
    std::string measured;  // e.g. "201.8 ms (min 201.1, max 209.9, n=30)"
    Verdict verdict = Verdict::info;
};

// "median unit (min a, max b, n=N)"; "no samples" for an empty series.
std::string describe(const Series& series, const std::string& unit, int decimals = 1);

// pass when `measured` <= `goal`, miss otherwise; failed for an empty series.
Verdict judge(const Series& series, double goal);
Verdict judge(double measured, double goal);

const char* verdict_name(Verdict verdict);

// The rows as an aligned Markdown table (figure | goal | measured | result).
std::string format_table(const std::vector<Row>& rows);

}  // namespace hdgrab::bench
