#include "web/web_server.h"

#include <fmt/format.h>

#include <httplib.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "platform/socket.h"
#include "platform/stream_socket.h"
#include "web/connection_threads.h"
#include "web/page.h"
#include "web/response.h"

namespace kestrin::web {
namespace {

using std::chrono::minutes;

// Connections served at once; one more is closed as soon as it is accepted.
constexpr size_t kMaxConnections = 256;
// Connections the kernel holds for the server before it accepts them.
constexpr int kListenBacklog = 256;
// How often a refused connection may be logged.
constexpr minutes kRefusalLogInterval{1};

// Set on the accepting thread while it closes a connection it refuses.
thread_local bool refusing_connection = false;

// Either of the library's servers, with a longer listening queue than the
// library's own.
class Listener {
 public:
  virtual ~Listener() = default;
  // After binding.
  virtual bool SetListenBacklog(int backlog) = 0;
};

template <class Server>
class ListeningServer : public Server, public Listener {
 public:
  using Server::Server;
  bool SetListenBacklog(int backlog) override {
    return platform::SetListenQueue(this->svr_sock_, backlog);
  }
};

// The library's HTTP server, serving a connection only when the task queue
// gives it a thread: a refused connection is closed at once, unread.
class HttpServer : public ListeningServer<httplib::Server> {
 private:
  bool process_and_close_socket(socket_t sock) override {
    bool served = !refusing_connection && Serve(sock);
    platform::ShutdownSocket(sock);
    platform::CloseSocket(sock);
    return served;
  }

  // The requests of one connection, kept alive as the library does: up to
  // its keep-alive count, each after at most its keep-alive wait.
  bool Serve(socket_t sock) {
    bool ok = false;
    for (size_t left = keep_alive_max_count_;
         svr_sock_ != INVALID_SOCKET && left > 0 && WaitReadable(sock, keep_alive_timeout_sec_);
         --left) {
      bool closed = false;
      const bool close_connection = left == 1;
      ok = httplib::detail::process_client_socket(
          sock, read_timeout_sec_, read_timeout_usec_, write_timeout_sec_, write_timeout_usec_,
          [&](httplib::Stream& stream) {
            return process_request(stream, close_connection, closed, nullptr);
          });
      if (!ok || closed) break;
    }
    return ok;
  }

  static bool WaitReadable(socket_t sock, time_t seconds) {
    return platform::WaitSocket(sock, false, static_cast<int>(seconds * 1000)) > 0;
  }
};

// Gives every connection a thread of its own, at most kMaxConnections at
// once. A connection beyond that, or one for which no thread can be had, is
// closed at once; that is logged at most once a minute. shutdown() waits for
// every connection thread.
class ConnectionQueue : public httplib::TaskQueue {
 public:
  explicit ConnectionQueue(std::function<void()> on_refused)
      : threads_(kMaxConnections), on_refused_(std::move(on_refused)) {}

  void enqueue(std::function<void()> task) override {
    if (threads_.TryRun(task)) return;
    refusing_connection = true;
    task();  // closes the socket, nothing more
    refusing_connection = false;
    if (on_refused_) on_refused_();
  }

  void shutdown() override { threads_.WaitIdle(); }

 private:
  ConnectionThreads threads_;
  std::function<void()> on_refused_;
};

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
  request.fetch_site = req.get_header_value("Sec-Fetch-Site");
  request.origin = req.get_header_value("Origin");
  request.referer = req.get_header_value("Referer");
  request.host = req.get_header_value("Host");
  return request;
}

void ToHttpResponse(const WebResponse& response, httplib::Response& res) {
  res.status = response.status;
  if (!response.location.empty()) res.set_header("Location", response.location);
  // A browser sends the cookies only with requests from this site's own pages.
  for (const auto& [name, value] : response.cookies)
    res.set_header("Set-Cookie", name + "=" + value + "; SameSite=Strict");
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

// The HTTPS server's handshake of a connection being refused ends before it
// reads anything: its socket is shut down as the handshake starts.
void RefuseHandshake(const SSL* ssl, int where, int) {
  if (refusing_connection && (where & SSL_CB_HANDSHAKE_START)) {
    platform::ShutdownSocket(SSL_get_fd(ssl));
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

// The library answers a "Range" header with the parts asked for, as many as
// listed, each a copy of the body; the service has no use for parts, so the
// whole body goes out. (The request object is the library's own, modifiable.)
void IgnoreRanges(const httplib::Request& req) {
  const_cast<httplib::Request&>(req).ranges.clear();
}

}  // namespace

class WebServer::Impl {
 public:
  std::unique_ptr<httplib::Server> server;
  Listener* listener = nullptr;  // the same object as `server`
  bool started = false;
};

WebServer::WebServer(WebContext context)
    : handler_(context, [this](std::chrono::milliseconds d) { Pause(d); }),
      log_refusals_(kRefusalLogInterval) {
  if (service::ServiceState* state = context.state) {
    log_ = [state](const std::string& line) {
      try {
        state->log().MainLog(line);
      } catch (const service::LogWriteError&) {
        // The line is lost; the server goes on.
      }
    };
  }
}

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
  auto server = std::make_unique<ListeningServer<httplib::SSLServer>>([&](SSL_CTX& ctx) {
    SSL_CTX_set_min_proto_version(&ctx, TLS1_2_VERSION);
    SSL_CTX_set_info_callback(&ctx, RefuseHandshake);
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
  impl_->listener = server.get();
  impl_->server = std::move(server);
  return "";
}

bool WebServer::Start(int port) {
  if (impl_ && impl_->started) return false;
  if (!impl_) {
    impl_ = std::make_unique<Impl>();
    auto server = std::make_unique<HttpServer>();
    impl_->listener = server.get();
    impl_->server = std::move(server);
  }
  impl_->started = true;
  httplib::Server& server = *impl_->server;
  server.new_task_queue = [this] { return new ConnectionQueue([this] { LogRefusal(); }); };
  server.set_payload_max_length(kMaxRequestBody);
  // Every reply is whole: parts of it are never sent (see IgnoreRanges).
  server.set_default_headers({{"Accept-Ranges", "none"}});
  server.set_socket_options(platform::SetListeningOptions);
  // An idle browser connection is closed after a second, so that a stop never
  // waits long for one (a page and its resources come within milliseconds).
  server.set_keep_alive_timeout(1);

  auto serve = [this](const httplib::Request& req, httplib::Response& res,
                      const std::string& body) {
    ToHttpResponse(handler_.IdHTTPServer1CommandGet(ToWebRequest(req, body)), res);
  };
  server.Get(".*", [serve](const httplib::Request& req, httplib::Response& res) {
    IgnoreRanges(req);
    serve(req, res, req.body);
  });
  // POST bodies are read here rather than by the library, whose own form
  // parsing refuses forms above 8 KiB.
  server.Post(".*", [serve](const httplib::Request& req, httplib::Response& res,
                            const httplib::ContentReader& reader) {
    IgnoreRanges(req);
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
      [](const httplib::Request& req, httplib::Response& res, std::exception_ptr error) {
        IgnoreRanges(req);
        std::string text = "error";
        try {
          std::rethrow_exception(error);
        } catch (const std::exception& e) {
          text = e.what();
        } catch (...) {
        }
        res.status = 500;
        // The text may quote what the request sent (a parameter, a statement).
        res.set_content(HtmlEscape(text), std::string(kHtmlContentType).c_str());
      });

  auto bind = [&](const char* host) {
    if (port != 0) return server.bind_to_port(host, port) ? port : -1;
    return server.bind_to_any_port(host);
  };
  int bound = platform::HasIpv6() ? bind("::") : -1;
  if (bound <= 0) bound = bind("0.0.0.0");
  if (bound <= 0) return false;
  impl_->listener->SetListenBacklog(kListenBacklog);
  listener_ = std::thread([&server] { server.listen_after_bind(); });
  // Stop() only reaches a server that has entered its accept loop.
  for (int i = 0; i < 5000 && !server.is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  port_ = bound;
  return true;
}

void WebServer::LogRefusal() {
  if (!log_refusals_.Allow(0) || !log_) return;
  log_(
      fmt::format("ОШИБКА: Вебсервер(порт {}): соединение закрыто, одновременно открыто {} "
                  "соединений или нет потока",
                  port_.load(), kMaxConnections));
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
