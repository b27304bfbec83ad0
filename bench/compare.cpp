#include "compare.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>

namespace {

// The values of a JSON text that a report of the bench holds.
struct json {
    enum kind { NOTHING, TRUTH, NUMBER, TEXT, LIST, OBJECT } type = NOTHING;
    bool truth = false;
    double number = 0;
    std::string text;
    std::vector<json> items;
    std::vector<std::pair<std::string, json>> members;

    const json* member(const char* key) const {
        for (const auto& [name, value] : members) {
            if (name == key) return &value;
        }
        return nullptr;
    }
};

// A recursive descent over RFC 8259's grammar; false on anything else.
class json_reader {
  public:
    explicit json_reader(const std::string& text) : text_(text) {}

    bool read(json* value) {
        if (!value_at(value, 0)) return false;
        space();
        return at_ == text_.size();
    }

  private:
    static constexpr int DEEPEST = 64;

    void space() {
        while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
    }
    bool take(char c) {
        space();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool word(const char* w) {
        const std::size_t length = std::char_traits<char>::length(w);
        if (text_.compare(at_, length, w) != 0) return false;
        at_ += length;
        return true;
    }
    bool text(std::string* out) {
        if (!take('"')) return false;
        while (at_ < text_.size() && text_[at_] != '"') {
            char c = text_[at_++];
            if (c == '\\') {
                if (at_ >= text_.size()) return false;
                c = text_[at_++];
                if (c == 'u') {  // names and keys here are ASCII: keep a placeholder
                    if (at_ + 4 > text_.size()) return false;
                    at_ += 4;
                    c = '?';
                } else if (c == 'n') {
                    c = '\n';
                } else if (c == 't') {
                    c = '\t';
                } else if (c == 'r') {
                    c = '\r';
                } else if (c == 'b' || c == 'f') {
                    c = ' ';
                }
            }
            out->push_back(c);
        }
        return take('"');
    }
    bool value_at(json* value, int depth) {
        if (depth > DEEPEST) return false;
        space();
        if (at_ >= text_.size()) return false;
        const char c = text_[at_];
        if (c == '{') {
            ++at_;
            value->type = json::OBJECT;
            if (take('}')) return true;
            do {
                std::string key;
                json member;
                if (!text(&key) || !take(':') || !value_at(&member, depth + 1)) return false;
                value->members.emplace_back(std::move(key), std::move(member));
            } while (take(','));
            return take('}');
        }
        if (c == '[') {
            ++at_;
            value->type = json::LIST;
            if (take(']')) return true;
            do {
                value->items.emplace_back();
                if (!value_at(&value->items.back(), depth + 1)) return false;
            } while (take(','));
            return take(']');
        }
        if (c == '"') {
            value->type = json::TEXT;
            return text(&value->text);
        }
        if (word("true")) {
            value->type = json::TRUTH;
            value->truth = true;
            return true;
        }
        if (word("false")) {
            value->type = json::TRUTH;
            return true;
        }
        if (word("null")) return true;
        char* end = nullptr;
        value->number = std::strtod(text_.c_str() + at_, &end);
        if (end == text_.c_str() + at_) return false;
        value->type = json::NUMBER;
        at_ = static_cast<std::size_t>(end - text_.c_str());
        return true;
    }

    const std::string& text_;
    std::size_t at_ = 0;
};

// Each row's cycles/op: one per repetition, or where the report holds
// aggregates only, their median; in the report's order.
bool rows_of(const std::string& report,
             std::vector<std::pair<std::string, std::vector<double>>>* rows) {
    json root;
    if (!json_reader(report).read(&root) || root.type != json::OBJECT) return false;
    const json* benchmarks = root.member("benchmarks");
    if (benchmarks == nullptr || benchmarks->type != json::LIST) return false;
    for (const bool aggregates : {false, true}) {
        for (const json& run : benchmarks->items) {
            const json* name = run.member("run_name");
            const json* type = run.member("run_type");
            const json* cycles = run.member("cycles/op");
            const json* error = run.member("error_occurred");
            const json* aggregate = run.member("aggregate_name");
            if (name == nullptr || type == nullptr || cycles == nullptr ||
                cycles->type != json::NUMBER || (error != nullptr && error->truth)) {
                continue;
            }
            if (aggregates != (type->text == "aggregate")) continue;
            if (aggregates && (aggregate == nullptr || aggregate->text != "median")) continue;
            auto row = std::find_if(rows->begin(), rows->end(),
                                    [&](const auto& r) { return r.first == name->text; });
            if (aggregates && row != rows->end() && !row->second.empty()) continue;
            if (row == rows->end()) {
                rows->emplace_back(name->text, std::vector<double>{});
                row = rows->end() - 1;
            }
            if (!aggregates || row->second.empty()) row->second.push_back(cycles->number);
        }
    }
    return !rows->empty();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Exact where both samples have at most this many values and none ties.
constexpr std::size_t EXACT_AT_MOST = 20;

}  // namespace

double mann_whitney_p(const std::vector<double>& before, const std::vector<double>& after) {
    const std::size_t n1 = before.size();
    const std::size_t n2 = after.size();
    if (n1 == 0 || n2 == 0) return 1;
    // Ranks of the pooled values, ties sharing their mean rank.
    std::vector<std::pair<double, bool>> pooled;
    for (const double v : before) pooled.emplace_back(v, true);
    for (const double v : after) pooled.emplace_back(v, false);
    std::sort(pooled.begin(), pooled.end());
    double rank_sum = 0;
    double tie_term = 0;
    bool ties = false;
    for (std::size_t i = 0; i < pooled.size();) {
        std::size_t j = i;
        while (j < pooled.size() && pooled[j].first == pooled[i].first) ++j;
        const double t = static_cast<double>(j - i);
        if (t > 1) ties = true;
        tie_term += t * t * t - t;
        const double rank = (static_cast<double>(i + j) + 1) / 2;  // ranks from 1
        for (std::size_t k = i; k < j; ++k) {
            if (pooled[k].second) rank_sum += rank;
        }
        i = j;
    }
    const double u = rank_sum - static_cast<double>(n1 * (n1 + 1)) / 2;
    const double mean = static_cast<double>(n1 * n2) / 2;
    if (!ties && n1 <= EXACT_AT_MOST && n2 <= EXACT_AT_MOST) {
        // counts[m][k]: arrangements of m values of the first sample among
        // the others whose U is k, built up one value of the second at a time.
        const std::size_t most = n1 * n2;
        std::vector<std::vector<double>> counts(n1 + 1, std::vector<double>(most + 1, 0));
        for (std::size_t m = 0; m <= n1; ++m) counts[m][0] = 1;
        for (std::size_t k2 = 1; k2 <= n2; ++k2) {
            std::vector<std::vector<double>> next(n1 + 1, std::vector<double>(most + 1, 0));
            next[0][0] = 1;
            for (std::size_t m = 1; m <= n1; ++m) {
                for (std::size_t k = 0; k <= most; ++k) {
                    next[m][k] = counts[m][k] + (k >= k2 ? next[m - 1][k - k2] : 0);
                }
            }
            counts = std::move(next);
        }
        double total = 0;
        double at_most = 0;
        double at_least = 0;
        const auto whole_u = static_cast<std::size_t>(std::lround(u));
        for (std::size_t k = 0; k <= most; ++k) {
            total += counts[n1][k];
            if (k <= whole_u) at_most += counts[n1][k];
            if (k >= whole_u) at_least += counts[n1][k];
        }
        return std::min(1.0, 2 * std::min(at_most, at_least) / total);
    }
    const double n = static_cast<double>(n1 + n2);
    const double variance =
        static_cast<double>(n1 * n2) / 12 * ((n + 1) - tie_term / (n * (n - 1)));
    if (variance <= 0) return 1;
    const double z = std::max(0.0, std::fabs(u - mean) - 0.5) / std::sqrt(variance);
    return std::min(1.0, std::erfc(z / std::sqrt(2.0)));
}

std::vector<compared_row> compare_reports(const std::string& before_text,
                                          const std::string& after_text, double tolerance_percent,
                                          std::string* why_not) {
    std::vector<std::pair<std::string, std::vector<double>>> before;
    std::vector<std::pair<std::string, std::vector<double>>> after;
    std::vector<compared_row> rows;
    if (!rows_of(before_text, &before) || !rows_of(after_text, &after)) {
        *why_not = "not a JSON report of div100-bench (--benchmark_format=json) with rows";
        return rows;
    }
    for (const auto& [name, values] : before) {
        const auto other = std::find_if(after.begin(), after.end(),
                                        [&](const auto& r) { return r.first == name; });
        if (other == after.end()) continue;
        compared_row row{name, values, other->second, 0, -1, false};
        row.change_percent = (median(row.after) / median(row.before) - 1) * 100;
        // The test can tell only where the runs have enough repetitions
        // that the most extreme order of them is unlikely by chance.
        std::vector<double> lowest(row.before.size());
        std::vector<double> highest(row.after.size());
        for (std::size_t i = 0; i < lowest.size(); ++i) lowest[i] = static_cast<double>(i);
        for (std::size_t i = 0; i < highest.size(); ++i) {
            highest[i] = static_cast<double>(lowest.size() + i);
        }
        if (mann_whitney_p(lowest, highest) < SIGNIFICANCE) {
            row.p_value = mann_whitney_p(row.before, row.after);
        }
        row.changed = std::fabs(row.change_percent) > tolerance_percent &&
                      (row.p_value < 0 || row.p_value < SIGNIFICANCE);
        rows.push_back(row);
    }
    if (rows.empty()) *why_not = "the two reports have no row in common";
    return rows;
}

int compare_files(const char* before, const char* after, double tolerance_percent) {
    std::string texts[2];
    const char* paths[2] = {before, after};
    for (int i = 0; i < 2; ++i) {
        std::ifstream file(paths[i], std::ios::binary);
        std::ostringstream whole;
        whole << file.rdbuf();
        if (!file) {
            std::fprintf(stderr, "div100-bench: cannot read %s\n", paths[i]);
            return 2;
        }
        texts[i] = whole.str();
    }
    std::string why_not;
    const std::vector<compared_row> rows =
        compare_reports(texts[0], texts[1], tolerance_percent, &why_not);
    if (rows.empty()) {
        std::fprintf(stderr, "div100-bench: %s and %s: %s\n", before, after, why_not.c_str());
        return 2;
    }
    std::printf(
        "%-28s %9s %9s %8s %8s  cycles/op, medians; changed: beyond %.1f %%, and\n"
        "%-28s %9s %9s %8s %8s  p < %.2f where the repetitions allow the test (p: -)\n",
        "row", "before", "after", "change", "p", tolerance_percent, "", "", "", "", "",
        SIGNIFICANCE);
    bool any = false;
    for (const compared_row& row : rows) {
        char p[16] = "-";
        if (row.p_value >= 0) std::snprintf(p, sizeof p, "%.4f", row.p_value);
        std::printf("%-28s %9.3f %9.3f %+7.1f%% %8s  %s\n", row.name.c_str(), median(row.before),
                    median(row.after), row.change_percent, p, row.changed ? "changed" : "same");
        any = any || row.changed;
    }
    std::fflush(stdout);
    if (std::ferror(stdout)) {
        std::fprintf(stderr, "div100-bench: cannot write the output\n");
        return 1;
    }
    return any ? 1 : 0;
}
