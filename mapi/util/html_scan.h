#pragma once
// Finding the tags of HTML mail bodies: both turning HTML into text and
// wrapping it in RTF walk the markup tag by tag.

#include <cstddef>
#include <string>
#include <string_view>

namespace varnolt::mapi {

// Where the tag that opens at html[start] ('<') ends: the index of its
// '>' outside quoted attribute values, or html.size() when it runs to the
// end of the text.
std::size_t htmlTagEnd(std::string_view html, std::size_t start);

// The element name of a tag's text ("<P class=x>", "</p>"), in lower case.
std::string htmlTagName(std::string_view tag);

}  // namespace varnolt::mapi
