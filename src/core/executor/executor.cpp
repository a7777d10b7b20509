#include "executor/executor.hpp"

#include "executor/slurm.hpp"

#include <cctype>
#include <charconv>
#include <limits>

namespace plexaro::executor {

namespace {

// A whole number made only of digits (no sign, no spaces).
std::optional<std::uint64_t> whole(std::string_view text) {
    if (text.empty() || text.size() > 12) return std::nullopt;
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<std::uint64_t> positive(std::optional<std::uint64_t> value) {
    if (!value || *value == 0) return std::nullopt;
    return value;
}

}  // namespace

std::optional<std::uint64_t> parse_memory_mb(std::string_view text) {
    if (text.empty()) return std::nullopt;
    char unit = (char)std::toupper((unsigned char)text.back());
    std::uint64_t factor_kib = 1024;  // MiB
    if (std::isalpha((unsigned char)unit)) {
        text.remove_suffix(1);
        switch (unit) {
        case 'K': factor_kib = 1; break;
        case 'M': factor_kib = 1024; break;
        case 'G': factor_kib = 1024ull * 1024; break;
        case 'T': factor_kib = 1024ull * 1024 * 1024; break;
        default: return std::nullopt;
        }
    }
    std::optional<std::uint64_t> n = positive(whole(text));
    if (!n) return std::nullopt;
    std::uint64_t kib = *n * factor_kib;
    return (kib + 1023) / 1024;
}

std::optional<std::uint64_t> parse_time_seconds(std::string_view text) {
    if (text.empty()) return std::nullopt;
    // "90m", "2h", "45s", "1d"
    char unit = (char)std::tolower((unsigned char)text.back());
    if (std::isalpha((unsigned char)unit)) {
        std::uint64_t factor = unit == 's'   ? 1
                               : unit == 'm' ? 60
                               : unit == 'h' ? 3600
                               : unit == 'd' ? 86400
                                             : 0;
        if (!factor) return std::nullopt;
        std::optional<std::uint64_t> n = positive(whole(text.substr(0, text.size() - 1)));
        if (!n) return std::nullopt;
        return *n * factor;
    }
    // The scheduler's own forms.
    std::uint64_t days = 0;
    bool has_days = false;
    std::size_t dash = text.find('-');
    if (dash != std::string_view::npos) {
        std::optional<std::uint64_t> d = whole(text.substr(0, dash));
        if (!d) return std::nullopt;
        days = *d;
        has_days = true;
        text.remove_prefix(dash + 1);
    }
    std::vector<std::uint64_t> parts;
    while (true) {
        std::size_t colon = text.find(':');
        std::optional<std::uint64_t> part = whole(text.substr(0, colon));
        if (!part) return std::nullopt;
        parts.push_back(*part);
        if (colon == std::string_view::npos) break;
        text.remove_prefix(colon + 1);
    }
    if (parts.size() > 3) return std::nullopt;
    for (std::size_t i = 1; i < parts.size(); ++i)
        if (parts[i] >= 60) return std::nullopt;
    std::uint64_t seconds = 0;
    if (has_days) {
        // D-HH, D-HH:MM, D-HH:MM:SS
        if (parts[0] >= 24) return std::nullopt;
        seconds = days * 86400 + parts[0] * 3600;
        if (parts.size() > 1) seconds += parts[1] * 60;
        if (parts.size() > 2) seconds += parts[2];
    } else if (parts.size() == 1) {
        seconds = parts[0] * 60;  // MM
    } else if (parts.size() == 2) {
        seconds = parts[0] * 60 + parts[1];  // MM:SS
    } else {
        seconds = parts[0] * 3600 + parts[1] * 60 + parts[2];  // HH:MM:SS
    }
    if (seconds == 0) return std::nullopt;
    return seconds;
}

std::string memory_text(std::uint64_t mb) {
    if (mb % (1024ull * 1024) == 0) return std::to_string(mb / (1024ull * 1024)) + "T";
    if (mb % 1024 == 0) return std::to_string(mb / 1024) + "G";
    return std::to_string(mb) + "M";
}

std::unique_ptr<Executor> make_executor(std::string_view name) {
    if (name == "slurm") return std::make_unique<slurm::SlurmExecutor>();
    return nullptr;
}

std::string describe_outcome(std::string_view scheduler, const JobSpec &job,
                             const JobOutcome &outcome) {
    std::string text = std::string(scheduler) + " job " + outcome.id + " (" + job.name + ")";
    if (!outcome.node.empty() && outcome.node != "(null)") text += " on " + outcome.node;
    text += ": " + outcome.state + ", exit code " + std::to_string(outcome.exit_code);
    if (outcome.signal) text += ", signal " + std::to_string(outcome.signal);
    if (!outcome.reason.empty() && outcome.reason != "None") text += ", reason " + outcome.reason;
    std::string why;
    if (outcome.out_of_memory) {
        why = "out of memory, killed over its memory request";
        if (job.resources.memory_mb) why += " of " + memory_text(*job.resources.memory_mb);
    } else if (outcome.state == "TIMEOUT") {
        why = "it hit its time limit";
    } else if (outcome.state == "CANCELLED") {
        why = "it was cancelled";
    } else if (outcome.state == "NODE_FAIL") {
        why = "it lost its node";
    } else if (outcome.state == "PREEMPTED") {
        why = "it was preempted";
    }
    if (!why.empty()) text += ": " + why;
    return text;
}

}  // namespace plexaro::executor
