#include "Html.h"

#include <algorithm>

namespace sandbox::html {
namespace {

constexpr char kStyle[] = R"css(
  :root { color-scheme: light; }
  body { margin: 0; min-height: 100vh; display: flex; align-items: center;
         justify-content: center; background: #eef0f4; color: #1d2129;
         font: 15px/1.5 system-ui, -apple-system, "Segoe UI", Cantarell, Ubuntu, sans-serif; }
  main { box-sizing: border-box; width: min(420px, calc(100vw - 32px)); margin: 16px;
         padding: 28px 32px; background: #fff; border-radius: 12px;
         box-shadow: 0 1px 3px rgba(0, 0, 0, .08), 0 8px 24px rgba(0, 0, 0, .06); }
  h1 { margin: 0 0 18px; font-size: 21px; font-weight: 600; }
  label { display: block; margin: 12px 0 4px; font-weight: 500; }
  input { box-sizing: border-box; width: 100%; padding: 8px 10px; font: inherit;
          border: 1px solid #c5cad3; border-radius: 6px; }
  input:focus { outline: 2px solid #4a6cf7; border-color: transparent; }
  button { margin-top: 20px; width: 100%; padding: 9px; font: inherit; font-weight: 600;
           color: #fff; background: #3b5bdb; border: 0; border-radius: 6px; cursor: pointer; }
  button:hover { background: #304bc0; }
  a { color: #3b5bdb; }
  .error { margin: 0 0 8px; padding: 8px 10px; color: #a61e1e; background: #fdecec;
           border-radius: 6px; }
  .muted { color: #68707d; }
  ul { padding-left: 20px; }
)css";

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string formDecode(std::string_view text)
{
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            decoded += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && hexDigit(text[i + 1]) >= 0 &&
                   hexDigit(text[i + 2]) >= 0) {
            decoded += char(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

} // namespace

std::string escape(std::string_view text)
{
    std::string escaped;
    for (const char c : text) {
        switch (c) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        case '\'':
            escaped += "&#39;";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

std::string scriptValue(const nlohmann::json &value)
{
    // ensure_ascii leaves only ASCII, and "<", ">", "&" occur in strings alone, so replacing
    // them everywhere keeps the value and leaves no "</script" or "<!--" for the HTML parser.
    const std::string text = value.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
    std::string safe;
    for (const char c : text) {
        switch (c) {
        case '<':
            safe += "\\u003c";
            break;
        case '>':
            safe += "\\u003e";
            break;
        case '&':
            safe += "\\u0026";
            break;
        default:
            safe += c;
        }
    }
    return safe;
}

std::string page(std::string_view title, std::string_view body, std::string_view script)
{
    std::string document =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<title>" +
        escape(title) + "</title>\n<style>" + kStyle + "</style>\n</head>\n" + "<body>\n<main>\n" +
        std::string(body) + "\n</main>\n";
    if (!script.empty()) {
        document += "<script>\n" + std::string(script) + "\n</script>\n";
    }
    return document + "</body>\n</html>\n";
}

void send(Exchange &exchange, int status, const std::string &document)
{
    exchange.response.status = status;
    exchange.response.set_header("Cache-Control", "no-store");
    exchange.response.set_content(document, "text/html; charset=utf-8");
}

std::map<std::string, std::string> parseForm(std::string_view body)
{
    std::map<std::string, std::string> fields;
    while (!body.empty()) {
        const std::size_t end = std::min(body.find('&'), body.size());
        const std::string_view pair = body.substr(0, end);
        body.remove_prefix(std::min(end + 1, body.size()));
        if (pair.empty()) {
            continue;
        }
        const std::size_t equals = pair.find('=');
        fields.emplace(formDecode(pair.substr(0, equals)),
                       equals == pair.npos ? std::string() : formDecode(pair.substr(equals + 1)));
    }
    return fields;
}

std::string percentEncode(std::string_view text)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            encoded += c;
        } else {
            encoded += '%';
            encoded += kHex[byte >> 4];
            encoded += kHex[byte & 15];
        }
    }
    return encoded;
}

} // namespace sandbox::html
