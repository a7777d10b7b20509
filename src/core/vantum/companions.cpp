#include "vantum/companions.hpp"

#include "common/text.hpp"

#include <sys/stat.h>

namespace plexaro::vantum {

namespace {

bool is_regular_file(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::vector<std::string> companions_of(const std::string &path) {
    std::vector<std::string> found;
    auto consider = [&](std::string candidate) {
        if (is_regular_file(candidate)) found.push_back(std::move(candidate));
    };
    for (std::string_view suffix : kIndexSuffixes) consider(path + std::string(suffix));
    std::string_view name(path);
    std::size_t slash = name.rfind('/');
    std::string_view base = slash == std::string_view::npos ? name : name.substr(slash + 1);
    // "x.bam" -> "x.bai"; a name that is only ".bam" has no stem to index.
    if (base.size() > 4 && text::ends_with(base, ".bam"))
        consider(path.substr(0, path.size() - 4) + ".bai");
    return found;
}

}  // namespace plexaro::vantum
