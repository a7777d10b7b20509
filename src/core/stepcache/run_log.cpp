#include "stepcache/run_log.hpp"

#include "common/files.hpp"
#include "common/text.hpp"
#include "sandbox/fsops.hpp"
#include "stepcache/files.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plexaro::stepcache {

namespace sb = plexaro::sandbox;

std::string json_string(std::string_view text) {
    std::string out = "\"";
    char buf[8];
    for (std::size_t i = 0; i < text.size();) {
        unsigned char c = (unsigned char)text[i];
        if (c < 0x80) {
            switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += (char)c;
                }
            }
            ++i;
            continue;
        }
        char32_t cp;
        std::size_t length;
        // A surrogate carried through as UTF-8 bytes (how the host's
        // undecodable file-name bytes arrive) stays that surrogate.
        if (text::decode_utf8(text, i, cp, length, text::Surrogates::pass) ==
            text::Utf8Status::ok) {
            if (cp >= 0xD800 && cp <= 0xDFFF) {
                std::snprintf(buf, sizeof buf, "\\u%04x", (unsigned)cp);
                out += buf;
            } else {
                out.append(text.substr(i, length));
            }
            i += length;
        } else {
            std::snprintf(buf, sizeof buf, "\\u%04x", 0xDC00 | c);
            out += buf;
            ++i;
        }
    }
    out += '"';
    return out;
}

namespace {

class Json {
public:
    Json &key(std::string_view name) {
        comma();
        out_ += json_string(name);
        out_ += ':';
        fresh_ = true;
        return *this;
    }
    Json &text(std::string_view value) { return raw(json_string(value)); }
    Json &opt_text(const std::optional<std::string> &value) {
        return value ? text(*value) : raw("null");
    }
    Json &number(std::uint64_t value) { return raw(std::to_string(value)); }
    Json &integer(std::int64_t value) { return raw(std::to_string(value)); }
    Json &real(double value) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.6f", std::isfinite(value) ? value : 0.0);
        return raw(buf);
    }
    Json &boolean(bool value) { return raw(value ? "true" : "false"); }
    Json &open(char bracket) {
        comma();
        out_ += bracket;
        fresh_ = true;
        return *this;
    }
    Json &close(char bracket) {
        out_ += bracket;
        fresh_ = false;
        return *this;
    }
    std::string take() { return std::move(out_); }

private:
    Json &raw(std::string_view v) {
        comma();
        out_ += v;
        fresh_ = false;
        return *this;
    }
    void comma() {
        if (!fresh_) out_ += ',';
        fresh_ = false;
    }
    std::string out_;
    bool fresh_ = true;
};

void files(Json &j, const char *name, const char *role, const std::vector<RunFile> &list) {
    j.key(name).open('[');
    for (const RunFile &f : list) {
        j.open('{');
        j.key(role);
        if (f.name.empty())
            j.opt_text(std::nullopt);
        else
            j.text(f.name);
        j.key("path").text(f.path).key("size").number(f.size);
        if (f.hash) j.key("hash").text(*f.hash);
        j.close('}');
    }
    j.close(']');
}

// Always the same keys, null where nothing is known (a cache hit ran nothing).
void execution(Json &j, const std::optional<Execution> &e) {
    j.key("executor").opt_text(e ? std::optional<std::string>(e->executor) : std::nullopt);
    j.key("job_id").opt_text(e ? e->job_id : std::nullopt);
    j.key("node").opt_text(e ? e->node : std::nullopt);
    j.key("state").opt_text(e ? e->state : std::nullopt);
    j.key("cpu_seconds");
    if (e && e->cpu_seconds)
        j.real(*e->cpu_seconds);
    else
        j.opt_text(std::nullopt);
    j.key("peak_memory");
    if (e && e->peak_memory)
        j.number(*e->peak_memory);
    else
        j.opt_text(std::nullopt);
}

}  // namespace

std::string run_record_line(const RunRecord &r) {
    Json j;
    j.open('{');
    j.key("tool").text(r.tool);
    j.key("image").opt_text(r.image);
    j.key("args").open('[');
    for (const auto &w : r.words) j.text(w);
    j.close(']');
    files(j, "inputs", "input", r.inputs);
    files(j, "outputs", "slot", r.outputs);
    j.key("started").text(r.started).key("ended").text(r.ended).key("seconds").real(r.seconds);
    j.key("exit_status");
    if (r.exit_status)
        j.integer(*r.exit_status);
    else
        j.opt_text(std::nullopt);
    j.key("cache_hit").boolean(r.cache_hit);
    j.key("key").opt_text(r.key);
    if (r.error) j.key("error").text(*r.error);
    execution(j, r.execution);
    j.close('}');
    return j.take() + "\n";
}

std::string utc_timestamp(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    auto micros = duration_cast<microseconds>(when.time_since_epoch()).count();
    std::time_t seconds = (std::time_t)(micros / 1000000);
    long fraction = (long)(micros % 1000000);
    if (fraction < 0) {
        fraction += 1000000;
        --seconds;
    }
    std::tm tm{};
    ::gmtime_r(&seconds, &tm);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, fraction);
    return buf;
}

void append_line(const std::string &path, std::string_view line) {
    int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) throw sb::FsError(errno, path);
    FdGuard guard(fd);
    lock_file(fd);
    // A writer killed mid-line leaves the log without its final line feed:
    // the new line starts on a line of its own, so only the fragment is lost.
    struct stat st;
    if (::fstat(fd, &st) != 0) throw sb::FsError(errno, path);
    char last = '\n';
    if (st.st_size > 0 && ::pread(fd, &last, 1, st.st_size - 1) != 1) last = '\n';
    std::string whole;
    if (last != '\n') {
        whole.reserve(line.size() + 1);
        whole += '\n';
        whole += line;
        line = whole;
    }
    if (!files::write_all(fd, line)) throw sb::FsError(errno, path);
}

}  // namespace plexaro::stepcache
