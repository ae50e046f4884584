#include "WebPages.h"

#include "Crypto.h"
#include "Html.h"

namespace sandbox {
namespace {

constexpr std::size_t kMaxFormBody = 64 * 1024;
// The only back value with a meaning: hand the token to the desktop app by its URL scheme.
constexpr char kDesktopApp[] = "desktop-app";

std::string loginPage(const std::string &back, const std::string &email, const std::string &error)
{
    std::string body = "<h1>Sign in to Vorlanta</h1>\n";
    if (!error.empty()) {
        body += "<p class=\"error\" role=\"alert\">" + html::escape(error) + "</p>\n";
    }
    body += "<form method=\"post\" action=\"/login\">\n"
            "<input type=\"hidden\" name=\"back\" value=\"" +
            html::escape(back) +
            "\">\n"
            "<label for=\"email\">Email</label>\n"
            "<input id=\"email\" name=\"email\" type=\"email\" autocomplete=\"username\" "
            "required autofocus value=\"" +
            html::escape(email) +
            "\">\n"
            "<label for=\"password\">Password</label>\n"
            "<input id=\"password\" name=\"password\" type=\"password\" "
            "autocomplete=\"current-password\" required>\n"
            "<button type=\"submit\">Sign in</button>\n</form>";
    return html::page("Sign in \u2013 Vorlanta", body);
}

// Stores the token the way the single-page app does: after the load event, then on to the app.
std::string signedInPage(const std::string &token)
{
    const std::string script = "window.addEventListener('load', function () {\n"
                               "  localStorage.setItem('token', " +
                               html::scriptValue(token) +
                               ");\n"
                               "  location.replace('/');\n"
                               "});";
    return html::page("Signed in \u2013 Vorlanta",
                      "<h1>Signed in</h1>\n<p class=\"muted\">Opening your dashboard\u2026</p>",
                      script);
}

// The root page: everything comes from the API with the stored token; nothing of the
// creator's data is pasted into the document.
constexpr char kRootBody[] = R"html(<h1>Vorlanta</h1>
<p id="status" class="muted">Loading…</p>
<ul id="projects"></ul>
<p id="links"><a id="login" href="/login" hidden>Sign in</a>
<a id="logout" href="/" hidden>Log out</a></p>)html";

constexpr char kRootScript[] = R"js((function () {
  var status = document.getElementById('status');
  function show(state, text) {
    document.body.dataset.state = state;
    status.textContent = text;
    document.getElementById('login').hidden = state !== 'signed-out';
    document.getElementById('logout').hidden = state === 'signed-out';
  }
  document.getElementById('logout').addEventListener('click', function (event) {
    event.preventDefault();
    localStorage.clear();
    sessionStorage.clear();
    location.replace('/');
  });
  var token = localStorage.getItem('token');
  if (!token) {
    show('signed-out', 'Signed out');
    return;
  }
  function api(path) {
    return fetch('/api/v1/creator/' + path, {headers: {Authorization: 'Bearer ' + token}})
      .then(function (reply) {
        if (!reply.ok) {
          throw reply.status;
        }
        return reply.json();
      });
  }
  api('me').then(function (me) {
    show('signed-in', 'Signed in as ' + me.name);
    return api('projects/');
  }).then(function (projects) {
    var list = document.getElementById('projects');
    projects.data.forEach(function (project) {
      var item = document.createElement('li');
      item.textContent = project.title;
      list.appendChild(item);
    });
  }).catch(function (error) {
    // A token that is refused, or that cannot even go into a header, means signed out.
    if (error === 401 || error instanceof TypeError) {
      show('signed-out', 'Signed out');
    } else {
      show('error', 'The service did not answer (' + error + ').');
    }
  });
})();)js";

} // namespace

WebPages::WebPages(std::string email, std::string password, std::string token)
    : m_email(std::move(email)), m_password(std::move(password)), m_token(std::move(token))
{}

void WebPages::install(Router &router)
{
    router.add("GET", "/login", [this](Exchange &exchange) { loginForm(exchange); });
    router.add("POST", "/login", [this](Exchange &exchange) { login(exchange); });
    router.add("GET", "/", [this](Exchange &exchange) { root(exchange); });
}

void WebPages::loginForm(Exchange &exchange)
{
    html::send(exchange, 200, loginPage(exchange.request.get_param_value("back"), {}, {}));
}

void WebPages::login(Exchange &exchange)
{
    const std::string type = exchange.request.get_header_value("Content-Type");
    if (type.rfind("application/x-www-form-urlencoded", 0) != 0) {
        html::send(exchange, 415, loginPage({}, {}, "The form was not sent as a form."));
        return;
    }
    const std::optional<std::string> body = exchange.body.readAll(kMaxFormBody);
    if (!body) {
        html::send(exchange, 413, loginPage({}, {}, "The form is too large."));
        return;
    }
    auto form = html::parseForm(*body);
    const std::string &back = form["back"];
    // Both compared in full, so the time taken says nothing about which one was wrong.
    const bool emailRight = equalConstantTime(form["email"], m_email);
    const bool passwordRight = equalConstantTime(form["password"], m_password);
    if (!emailRight || !passwordRight) {
        html::send(exchange, 401, loginPage(back, form["email"], "Wrong email or password."));
        return;
    }
    if (back == kDesktopApp) {
        exchange.response.set_header("Cache-Control", "no-store");
        exchange.response.set_redirect(
            "vorlanta-creator://auth?token=" + html::percentEncode(m_token), 302);
        return;
    }
    html::send(exchange, 200, signedInPage(m_token));
}

void WebPages::root(Exchange &exchange)
{
    html::send(exchange, 200, html::page("Vorlanta", kRootBody, kRootScript));
}

} // namespace sandbox
