// Recognition and rewriting of Zenodo and Dropbox download links.
#pragma once

#include <string>
#include <string_view>

namespace plexaro::fetchkin {

enum class LinkKind { none, zenodo, dropbox };

inline constexpr std::string_view zenodo_host = "zenodo.org";
inline constexpr std::string_view dropbox_host = "dropbox.com";
inline constexpr std::string_view fallback_prefix = "download_";

// Matches at the start of the value, case-sensitively:
//   zenodo:  https?://zenodo\.org/.+
//   dropbox: https?://(www\.)?dropbox\.com/.+
// where ".+" needs at least one character that is not a newline.
LinkKind classify(std::string_view value);

// The link to fetch for a Dropbox share: every "?dl=0" / "&dl=0" is removed,
// then "dl=1" is appended to the query. When the removed text opened the
// query ("?dl=0&rlkey=x"), the next parameter takes over the "?", so the
// other parameters survive in a valid query ("?rlkey=x&dl=1").
std::string dropbox_direct(std::string_view url);

// The last segment of the link's path (before any ";params"), undecoded.
std::string last_path_segment(std::string_view url);

// The name the download is stored under inside the download directory:
// the last path segment, or "download_" + key when that is empty. A name
// that would leave the directory (".", "..", separators, NUL) never does:
// "." and ".." fall back to the key name, separators become "_".
std::string download_name(std::string_view url, std::string_view key);

}  // namespace plexaro::fetchkin
