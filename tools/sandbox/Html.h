#pragma once

#include "Router.h"

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

// What the web pages of the sandbox share: escaping for HTML and inline scripts, the page frame
// and the answer headers, form bodies and URL encoding.
namespace sandbox::html {

// Text for an element or a quoted attribute value.
std::string escape(std::string_view text);

// A JSON literal that cannot end the <script> element it sits in: "<", ">" and "&" become
// \u escapes, and so does everything outside ASCII (U+2028 and U+2029 included). Bytes that are
// not UTF-8 become U+FFFD.
std::string scriptValue(const nlohmann::json &value);

// A whole document: system font, one centred card holding body; script (if any) runs at the
// end of the body, while the document is still being parsed.
std::string page(std::string_view title, std::string_view body, std::string_view script = {});

// Answers with a document: text/html in UTF-8, never cached.
void send(Exchange &exchange, int status, const std::string &document);

// application/x-www-form-urlencoded fields; a repeated name keeps its first value.
std::map<std::string, std::string> parseForm(std::string_view body);

// Every byte but the unreserved ones (RFC 3986) as %XX.
std::string percentEncode(std::string_view text);

} // namespace sandbox::html
