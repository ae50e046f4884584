#include "TestPages.h"

#include "Html.h"

#include <charconv>

namespace sandbox {
namespace {

constexpr int kMaxDelayMs = 10 * 60 * 1000;

constexpr char kStorageScript[] =
    R"js(  var area = config.storage === 'session' ? sessionStorage : localStorage;
  function store() {
    area.setItem(config.key, config.value);
    document.body.dataset.state = 'stored';
    document.getElementById('state').textContent =
      'Stored ' + config.key + ' in ' + config.storage + ' storage (' + config.when + ').';
  }
  if (config.when === 'parse') {
    store();
  } else if (config.when === 'load') {
    window.addEventListener('load', store);
  } else {
    setTimeout(store, config.ms);
  })js";

// Reports what each call gave back, so a test sees the page ran on without a dialog.
constexpr char kDialogsScript[] = R"js(  window.addEventListener('load', function () {
    var result = {alert: String(alert('Sandbox alert'))};
    result.confirm = confirm('Sandbox confirm');
    result.prompt = prompt('Sandbox prompt', 'answer');
    result.open = window.open(config.open, '_blank') !== null;
    document.getElementById('result').textContent = JSON.stringify(result);
    document.body.dataset.state = 'done';
  });)js";

// A path of this sandbox: one "/" at the start, so never another host.
bool isLocalPath(const std::string &path)
{
    return path.size() >= 1 && path[0] == '/' && (path.size() == 1 || path[1] != '/') &&
           path.find('\\') == std::string::npos;
}

std::string withConfig(const nlohmann::json &config, std::string_view script)
{
    return "(function () {\n  var config = " + html::scriptValue(config) + ";\n" +
           std::string(script) + "\n})();";
}

void refuse(Exchange &exchange, const std::string &why)
{
    html::send(exchange, 400,
               html::page("Bad test page", "<h1>Bad test page</h1>\n<p class=\"error\">" +
                                               html::escape(why) + "</p>"));
}

} // namespace

void TestPages::install(Router &router)
{
    router.add("GET", "/__test/storage", &TestPages::storage);
    router.add("GET", "/__test/frame", &TestPages::frame);
    router.add("GET", "/__test/dialogs", &TestPages::dialogs);
}

void TestPages::storage(Exchange &exchange)
{
    const httplib::Request &request = exchange.request;
    const std::string area = request.get_param_value("storage");
    const std::string when = request.get_param_value("when");
    const std::string msText = request.get_param_value("ms");
    int ms = 0;
    const auto [end, error] = std::from_chars(msText.data(), msText.data() + msText.size(), ms);
    if (area != "local" && area != "session") {
        return refuse(exchange, "storage must be local or session");
    }
    if (when != "parse" && when != "load" && when != "delay") {
        return refuse(exchange, "when must be parse, load or delay");
    }
    if (when == "delay" && (error != std::errc() || end != msText.data() + msText.size() ||
                            ms < 0 || ms > kMaxDelayMs)) {
        return refuse(exchange, "delay needs ms from 0 to " + std::to_string(kMaxDelayMs));
    }
    if (!request.has_param("key") || !request.has_param("value")) {
        return refuse(exchange, "key and value are required");
    }
    const nlohmann::json config = {{"storage", area},
                                   {"key", request.get_param_value("key")},
                                   {"value", request.get_param_value("value")},
                                   {"when", when},
                                   {"ms", ms}};
    html::send(
        exchange, 200,
        html::page("Storage test",
                   "<h1>Storage test</h1>\n<p id=\"state\" class=\"muted\">Waiting\u2026</p>",
                   withConfig(config, kStorageScript)));
}

void TestPages::frame(Exchange &exchange)
{
    const httplib::Request &request = exchange.request;
    const std::string src = request.get_param_value("src");
    const std::string origin = request.get_param_value("origin");
    if (!isLocalPath(src)) {
        return refuse(exchange, "src must be a path of this sandbox, starting with one /");
    }
    if (!origin.empty() && origin != "other") {
        return refuse(exchange, "origin must be empty or other");
    }
    // "localhost" reaches the same server under another origin (and not the web domain).
    const std::string url =
        origin.empty() ? src : "http://localhost:" + std::to_string(request.local_port) + src;
    html::send(exchange, 200,
               html::page("Frame test",
                          "<h1>Frame test</h1>\n<iframe id=\"frame\" title=\"test frame\" "
                          "style=\"width: 100%; height: 240px; border: 1px solid #c5cad3\" src=\"" +
                              html::escape(url) + "\"></iframe>"));
}

void TestPages::dialogs(Exchange &exchange)
{
    const std::string asked = exchange.request.get_param_value("open");
    const std::string open = asked.empty() ? std::string(1, '/') : asked;
    if (!isLocalPath(open)) {
        return refuse(exchange, "open must be a path of this sandbox, starting with one /");
    }
    html::send(
        exchange, 200,
        html::page("Dialogs test",
                   "<h1>Dialogs test</h1>\n<p id=\"result\" class=\"muted\">Waiting\u2026</p>\n"
                   "<p><a id=\"link\" href=\"" +
                       html::escape(open) + "\" target=\"_blank\">Open in a new window</a></p>",
                   withConfig({{"open", open}}, kDialogsScript)));
}

} // namespace sandbox
