#include "fetchkin/links.hpp"

#include "common/text.hpp"

namespace plexaro::fetchkin {

namespace {

// Length of "http://" or "https://" at the start, or 0.
std::size_t scheme_length(std::string_view v) {
    if (text::starts_with(v, "https://")) return 8;
    if (text::starts_with(v, "http://")) return 7;
    return 0;
}

bool host_then_path(std::string_view rest, std::string_view host) {
    if (!text::starts_with(rest, host)) return false;
    rest.remove_prefix(host.size());
    return rest.size() >= 2 && rest[0] == '/' && rest[1] != '\n';
}

std::string safe_component(std::string_view name) {
    std::string out(name);
    for (char &c : out)
        if (c == '/' || c == '\0') c = '_';
    return out;
}

}  // namespace

LinkKind classify(std::string_view value) {
    std::size_t n = scheme_length(value);
    if (n == 0) return LinkKind::none;
    std::string_view rest = value.substr(n);
    if (host_then_path(rest, zenodo_host)) return LinkKind::zenodo;
    if (text::starts_with(rest, "www.") && host_then_path(rest.substr(4), dropbox_host))
        return LinkKind::dropbox;
    if (host_then_path(rest, dropbox_host)) return LinkKind::dropbox;
    return LinkKind::none;
}

std::string dropbox_direct(std::string_view url) {
    std::string out;
    out.reserve(url.size() + 6);
    bool reopen_query = false;
    for (std::size_t i = 0; i < url.size();) {
        if ((url[i] == '?' || url[i] == '&') && url.substr(i + 1, 4) == "dl=0") {
            if (url[i] == '?') reopen_query = true;
            i += 5;
            continue;
        }
        if (reopen_query && url[i] == '&' && out.find('?') == std::string::npos) {
            out.push_back('?');
            ++i;
            reopen_query = false;
            continue;
        }
        reopen_query = false;
        out.push_back(url[i++]);
    }
    out.append(out.find('?') != std::string::npos ? "&dl=1" : "?dl=1");
    return out;
}

std::string last_path_segment(std::string_view url) {
    // scheme://netloc/path;params?query#fragment, as the host's urlparse splits it.
    std::size_t end = url.find_first_of("?#");
    std::string_view head = url.substr(0, end);
    std::size_t scheme_end = head.find("://");
    std::string_view path;
    if (scheme_end != std::string_view::npos) {
        std::size_t path_start = head.find('/', scheme_end + 3);
        path = path_start == std::string_view::npos ? std::string_view{} : head.substr(path_start);
    } else {
        path = head;
    }
    std::size_t slash = path.rfind('/');
    std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
    std::size_t params = last.find(';');
    if (params != std::string_view::npos) last = last.substr(0, params);
    return std::string(last);
}

std::string download_name(std::string_view url, std::string_view key) {
    std::string name = last_path_segment(url);
    if (name.empty() || name == "." || name == "..")
        return std::string(fallback_prefix) + safe_component(key);
    return safe_component(name);
}

}  // namespace plexaro::fetchkin
