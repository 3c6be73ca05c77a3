#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "web/rate_limit.h"
#include "web/request.h"
#include "web/response.h"
#include "web/routing.h"
#include "web/web_context.h"

namespace kestrin::web {

// The one request handler of the web server: serves the icon and the
// stylesheet, offers the server connection form to the local machine while
// the service is not logged in to the access-control server, and otherwise
// authenticates the administrator and routes to the pages. Keeps nothing
// between requests; any number of requests may run at once.
class WebHandler {
 public:
  // Waits the given time or less when the server stops; used for the pauses
  // after a failed login and after new server connection data.
  using Pause = std::function<void(std::chrono::milliseconds)>;

  WebHandler(WebContext context, Pause pause);

  // Handles one GET, HEAD or POST request. Errors that no route handles
  // propagate as exceptions; the server answers them with status 500.
  WebResponse IdHTTPServer1CommandGet(const WebRequest& request);

 private:
  WebResponse ApplyServerSettings(const WebRequest& request);
  WebResponse LoginChallenge(LoginResult login);
  WebResponse StatusPage();
  WebResponse SaveSettings(const WebRequest& request, const service::SessionSnapshot& session);

  WebResponse CameraRestart(const WebRequest& request);

  WebContext context_;
  Pause pause_;
  // One restart of each camera per interval; further requests are answered
  // alike and change nothing.
  RateLimit camera_restarts_;
};

}  // namespace kestrin::web
