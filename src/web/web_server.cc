#include "web/web_server.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "web/response.h"

namespace kestrin::web {
namespace {

// Runs every connection on a thread of its own; shutdown() waits for all of
// them.
class ThreadPerConnection : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> task) override {
    {
      std::lock_guard lock(mutex_);
      ++running_;
    }
    try {
      std::thread([this, task = std::move(task)]() mutable {
        task();
        task = nullptr;
        Done();
      }).detach();
    } catch (const std::system_error&) {
      // No thread to be had: serve the connection on the accepting thread.
      task();
      Done();
    }
  }

  void shutdown() override {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [&] { return running_ == 0; });
  }

 private:
  void Done() {
    std::lock_guard lock(mutex_);
    --running_;
    idle_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable idle_;
  size_t running_ = 0;
};

bool HasIpv6() {
  int sock = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (sock < 0) return false;
  ::close(sock);
  return true;
}

// Listening socket options: reuse of a port in TIME_WAIT (but no port sharing
// with another listener), and IPv4 clients on the IPv6 socket.
void ListeningSocketOptions(socket_t sock) {
  int yes = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  int domain = 0;
  socklen_t length = sizeof(domain);
  if (getsockopt(sock, SOL_SOCKET, SO_DOMAIN, &domain, &length) == 0 && domain == AF_INET6) {
    int no = 0;
    setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof(no));
  }
}

WebRequest ToWebRequest(const httplib::Request& req, const std::string& body) {
  WebRequest request;
  std::string_view target = req.target;
  size_t question = target.find('?');
  request.raw_path = std::string(target.substr(0, question));
  request.decoded_path = PercentDecode(request.raw_path, false);
  std::string_view query =
      question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
  request.params = BuildParameterList(body, req.get_header_value("Content-Type"), query);
  auto cookies = req.headers.equal_range("Cookie");
  for (auto it = cookies.first; it != cookies.second; ++it) {
    AppendCookies(it->second, request.cookies);
  }
  std::tie(request.basic_user, request.basic_password) =
      DecodeBasicCredentials(req.get_header_value("Authorization"));
  request.peer_address = req.remote_addr;
  request.local_address = req.local_addr;
  return request;
}

void ToHttpResponse(const WebResponse& response, httplib::Response& res) {
  res.status = response.status;
  if (!response.location.empty()) res.set_header("Location", response.location);
  for (const auto& [name, value] : response.cookies)
    res.set_header("Set-Cookie", name + "=" + value);
  if (!response.realm.empty()) {
    res.status = 401;
    res.set_header("WWW-Authenticate", "Basic realm=\"" + response.realm + "\"");
  }
  if (!response.content_type.empty()) {
    res.set_content(response.body, response.content_type.c_str());
  } else if (!response.realm.empty()) {
    res.set_content("<html><body><h1>401 Unauthorized</h1></body></html>",
                    std::string(kHtmlContentType).c_str());
  }
}

// OpenSSL's reasons for the last failure, oldest first; clears its queue.
std::string OpenSslErrors() {
  std::string text;
  while (unsigned long code = ERR_get_error()) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof(buffer));
    if (!text.empty()) text += "; ";
    text += buffer;
  }
  return text.empty() ? "unknown error" : text;
}

}  // namespace

class WebServer::Impl {
 public:
  std::unique_ptr<httplib::Server> server;
  bool started = false;
};

WebServer::WebServer(WebContext context)
    : handler_(std::move(context), [this](std::chrono::milliseconds d) { Pause(d); }) {}

WebServer::~WebServer() {
  Stop();
}

void WebServer::Pause(std::chrono::milliseconds duration) {
  std::unique_lock lock(stop_mutex_);
  stop_signal_.wait_for(lock, duration, [&] { return stopping_; });
}

std::string WebServer::UseTls(const std::string& certificate_file, const std::string& key_file) {
  if (impl_) return "the web server is already set up";
  std::string error;
  ERR_clear_error();
  auto server = std::make_unique<httplib::SSLServer>([&](SSL_CTX& ctx) {
    SSL_CTX_set_min_proto_version(&ctx, TLS1_2_VERSION);
    if (SSL_CTX_use_certificate_chain_file(&ctx, certificate_file.c_str()) != 1) {
      error = "certificate " + certificate_file + ": " + OpenSslErrors();
    } else if (SSL_CTX_use_PrivateKey_file(&ctx, key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
      error = "key " + key_file + ": " + OpenSslErrors();
    } else if (SSL_CTX_check_private_key(&ctx) != 1) {
      error = "key " + key_file + " does not belong to certificate " + certificate_file + ": " +
              OpenSslErrors();
    }
    return error.empty();
  });
  if (!server->is_valid()) return error.empty() ? "TLS set-up failed: " + OpenSslErrors() : error;
  impl_ = std::make_unique<Impl>();
  impl_->server = std::move(server);
  return "";
}

bool WebServer::Start(int port) {
  if (impl_ && impl_->started) return false;
  if (!impl_) {
    impl_ = std::make_unique<Impl>();
    impl_->server = std::make_unique<httplib::Server>();
  }
  impl_->started = true;
  httplib::Server& server = *impl_->server;
  server.new_task_queue = [] { return new ThreadPerConnection; };
  server.set_payload_max_length(kMaxRequestBody);
  server.set_socket_options(ListeningSocketOptions);
  // An idle browser connection is closed after a second, so that a stop never
  // waits long for one (a page and its resources come within milliseconds).
  server.set_keep_alive_timeout(1);

  auto serve = [this](const httplib::Request& req, httplib::Response& res,
                      const std::string& body) {
    ToHttpResponse(handler_.IdHTTPServer1CommandGet(ToWebRequest(req, body)), res);
  };
  server.Get(".*", [serve](const httplib::Request& req, httplib::Response& res) {
    serve(req, res, req.body);
  });
  // POST bodies are read here rather than by the library, whose own form
  // parsing refuses forms above 8 KiB.
  server.Post(".*", [serve](const httplib::Request& req, httplib::Response& res,
                            const httplib::ContentReader& reader) {
    std::string body;
    bool complete = reader([&](const char* data, size_t length) {
      if (body.size() + length > kMaxRequestBody) return false;
      body.append(data, length);
      return true;
    });
    if (!complete) {
      res.status = 413;
      return;
    }
    serve(req, res, body);
  });
  server.set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr error) {
        std::string text = "error";
        try {
          std::rethrow_exception(error);
        } catch (const std::exception& e) {
          text = e.what();
        } catch (...) {
        }
        res.status = 500;
        res.set_content(text, std::string(kHtmlContentType).c_str());
      });

  auto bind = [&](const char* host) {
    if (port != 0) return server.bind_to_port(host, port) ? port : -1;
    return server.bind_to_any_port(host);
  };
  int bound = HasIpv6() ? bind("::") : -1;
  if (bound <= 0) bound = bind("0.0.0.0");
  if (bound <= 0) return false;
  listener_ = std::thread([&server] { server.listen_after_bind(); });
  // Stop() only reaches a server that has entered its accept loop.
  for (int i = 0; i < 5000 && !server.is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  port_ = bound;
  return true;
}

void WebServer::Stop() {
  {
    std::lock_guard lock(stop_mutex_);
    stopping_ = true;
  }
  stop_signal_.notify_all();
  if (impl_ && listener_.joinable()) {
    impl_->server->stop();
    listener_.join();
  }
  port_ = 0;
}

}  // namespace kestrin::web
