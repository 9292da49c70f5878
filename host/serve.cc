#include "host/serve.h"

#include <httplib.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "host/cli_text.h"
#include "host/engine_library.h"
#include "host/export.h"
#include "host/serve_desk.h"
#include "host/serve_files.h"
#include "host/subcommand_cli.h"
#include "platform/browser.h"
#include "platform/console.h"
#include "platform/env.h"
#include "platform/path.h"
#include "platform/stop_request.h"

namespace kest::host {

// The page, made part of the program from host/web/index.html.
extern const char kServePage[];
extern const size_t kServePage_SIZE;

namespace {

using nlohmann::ordered_json;

const char kHelp[] =
    "Usage: dbfrecover serve [--port N] [--open] [--max-upload MB]\n"
    "Starts a page in your web browser for recovering tables: choose the damaged\n"
    "tables with their memo files, look at what is wrong, recover, and download\n"
    "the repaired table (a .zip with its memo file) or its records as CSV, JSON\n"
    "Lines or SQLite. Only this computer can reach the page: the server listens\n"
    "on 127.0.0.1 and answers only requests that carry the token of the address\n"
    "it prints. Uploads and results stay in a private temporary folder that is\n"
    "removed when the server stops (Ctrl-C, or the terminal closed).\n"
    "\n"
    "Options:\n"
    "      --port N         port to listen on (default: any free one)\n"
    "      --open           open the page in the browser\n"
    "      --max-upload MB  largest file taken, in MiB (default 2048)\n"
    "  -h, --help           show this help and exit\n";

constexpr uint64_t kMiB = 1024 * 1024;
// Engine tables stop at 4 GiB; the default stays well below what a
// temporary folder is likely to hold twice over.
constexpr uint64_t kDefaultUploadMiB = 2048;
constexpr uint64_t kMostUploadMiB = 4095;
constexpr size_t kSendBlock = 256 * 1024;

std::string newToken() {
  std::random_device random;
  static const char kDigits[] = "0123456789abcdef";
  std::string token;
  for (int i = 0; i < 32; ++i) token.push_back(kDigits[random() & 15]);
  return token;
}

void sendJson(httplib::Response& res, int status, const ordered_json& body) {
  res.status = status;
  res.set_content(body.dump(-1, ' ', false, ordered_json::error_handler_t::replace),
                  "application/json; charset=utf-8");
}

void sendAnswer(platform::Env* env, httplib::Response& res, const DeskAnswer& answer) {
  if (answer.file.empty()) {
    sendJson(res, answer.status, answer.body);
    return;
  }
  std::unique_ptr<platform::ReadableFile> opened;
  if (platform::Status s = env->OpenReadOnly(answer.file, &opened); !s) {
    sendJson(res, 500, DeskAnswer::error(500, "The download cannot be read: " + s.text()).body);
    return;
  }
  std::shared_ptr<platform::ReadableFile> file(std::move(opened));
  res.set_header("Content-Disposition", "attachment; filename=\"" + answer.downloadName + "\"");
  res.set_content_provider(
      static_cast<size_t>(file->Size()), answer.contentType,
      [file](size_t offset, size_t length, httplib::DataSink& sink) {
        std::vector<char> block(std::min(length, kSendBlock));
        size_t got = 0;
        if (!file->ReadAt(offset, block.data(), block.size(), &got) || got == 0) return false;
        return sink.write(block.data(), got);
      });
}

// The id in the first capture of a route, nullopt when it is no number.
std::optional<int> idOf(const httplib::Request& req) {
  const std::string id = req.matches[1];
  int value = 0;
  auto [end, problem] = std::from_chars(id.data(), id.data() + id.size(), value);
  if (problem != std::errc() || end != id.data() + id.size()) return std::nullopt;
  return value;
}

std::string tooLargeText(uint64_t limit) {
  return "The file is larger than the limit of " + std::to_string(limit / kMiB) + " MiB.";
}

// An upload's body into `path`, as it arrives. The answer is left to `desk`.
DeskAnswer receive(platform::Env* env, ServeDesk* desk, int id, bool memo,
                   const std::string& path, const httplib::Request& req, httplib::Response& res,
                   const httplib::ContentReader& reader) {
  // A body announced too large is not read at all; the connection ends
  // with the answer, so that its bytes are never taken for a request.
  if (req.get_header_value<uint64_t>("Content-Length") > desk->uploadLimit()) {
    res.set_header("Connection", "close");
    return desk->endUpload(id, memo, 413, tooLargeText(desk->uploadLimit()));
  }
  UploadFile file(env, path, desk->uploadLimit());
  if (platform::Status s = file.Open(); !s) {
    return desk->endUpload(id, memo, 500, "The upload cannot be stored: " + s.text());
  }
  bool whole = reader([&](const char* data, size_t size) { return file.Append(data, size); });
  if (file.tooLarge()) {
    return desk->endUpload(id, memo, 413, tooLargeText(desk->uploadLimit()));
  }
  if (!whole) {
    std::string why = file.failure() ? "the upload broke off" : file.failure().text();
    return desk->endUpload(id, memo, 500, "The upload cannot be stored: " + why + ".");
  }
  platform::Status finished = file.Finish();
  if (!finished) {
    return desk->endUpload(id, memo, 500, "The upload cannot be stored: " + finished.text());
  }
  return desk->endUpload(id, memo, 0, "");
}

void routes(httplib::Server& server, platform::Env* env, ServeDesk* desk,
            const std::string& engineProblem) {
  using httplib::Request;
  using httplib::Response;
  server.Get("/", [](const Request&, Response& res) {
    res.set_content(kServePage, kServePage_SIZE, "text/html; charset=utf-8");
  });
  server.Get("/api/info", [desk, engineProblem](const Request&, Response& res) {
    ordered_json info;
    info["uploadLimit"] = desk->uploadLimit();
    info["formats"] = ExportFormats();
    info["engine"] = engineProblem.empty() ? ordered_json(nullptr) : ordered_json(engineProblem);
    sendJson(res, 200, info);
  });
  server.Get("/api/tables", [env, desk](const Request&, Response& res) {
    sendAnswer(env, res, desk->list());
  });
  server.Post("/api/tables", [env, desk](const Request& req, Response& res,
                                         const httplib::ContentReader& reader) {
    DeskAnswer refused;
    auto begun = desk->beginTable(req.get_param_value("name"), &refused);
    if (!begun) return sendAnswer(env, res, refused);
    sendAnswer(env, res, receive(env, desk, begun->first, false, begun->second, req, res, reader));
  });
  server.Post(R"(/api/tables/(\d{1,9})/memo)", [env, desk](const Request& req, Response& res,
                                                          const httplib::ContentReader& reader) {
    DeskAnswer refused;
    std::optional<std::string> path;
    if (std::optional<int> id = idOf(req)) {
      path = desk->beginMemo(*id, req.get_param_value("name"), &refused);
      if (path) return sendAnswer(env, res, receive(env, desk, *id, true, *path, req, res, reader));
    }
    sendAnswer(env, res, refused);
  });
  auto onTable = [env, desk](DeskAnswer (ServeDesk::*call)(int)) {
    return [env, desk, call](const Request& req, Response& res) {
      std::optional<int> id = idOf(req);
      sendAnswer(env, res, id ? (desk->*call)(*id) : DeskAnswer::error(404, "No such table."));
    };
  };
  server.Get(R"(/api/tables/(\d{1,9})/inspect)", [env, desk](const Request& req, Response& res) {
    std::optional<int> id = idOf(req);
    sendAnswer(env, res, id ? desk->inspect(*id) : DeskAnswer::error(404, "No such table."));
  });
  server.Post(R"(/api/tables/(\d{1,9})/recover)", onTable(&ServeDesk::recover));
  server.Post(R"(/api/tables/(\d{1,9})/cancel)", onTable(&ServeDesk::cancel));
  server.Get(R"(/api/tables/(\d{1,9})/download/([a-z]{1,8}))",
             [env, desk](const Request& req, Response& res) {
               std::optional<int> id = idOf(req);
               sendAnswer(env, res,
                          id ? desk->download(*id, req.matches[2])
                             : DeskAnswer::error(404, "No such table."));
             });
}

// Everything that is not one of the routes, and every refusal before them,
// gets a JSON body that says why.
void guard(httplib::Server& server, const std::string& token, const int* port,
           uint64_t uploadLimit) {
  server.set_pre_routing_handler([&token, port](const httplib::Request& req,
                                                httplib::Response& res) {
    if (!hostIsOurs(req.get_header_value("Host"), *port)) {
      sendJson(res, 403, DeskAnswer::error(403, "Refused: this server answers only to "
                                                "http://127.0.0.1:" + std::to_string(*port) +
                                                    "/.").body);
      return httplib::Server::HandlerResponse::Handled;
    }
    std::string presented = req.get_param_value("token");
    if (presented.empty()) presented = req.get_header_value("X-Token");
    if (!tokenMatches(presented, token)) {
      sendJson(res, 403, DeskAnswer::error(403, "Refused: open the address that dbfrecover "
                                                "serve printed, with its token.").body);
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server.set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
    // Nothing leaves for another site: no referrer carrying the token, no
    // framing, no script or style from elsewhere, no caching of results.
    res.set_header("Content-Security-Policy",
                   "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                   "connect-src 'self'; img-src 'self' data:; form-action 'none'; "
                   "frame-ancestors 'none'; base-uri 'none'");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Cache-Control", "no-store");
  });
  server.set_error_handler([uploadLimit](const httplib::Request&, httplib::Response& res) {
    if (!res.body.empty()) return;
    std::string message = res.status == 404   ? "No such page or request."
                          : res.status == 413 ? tooLargeText(uploadLimit)
                                              : "The request was not understood.";
    sendJson(res, res.status, DeskAnswer::error(res.status, message).body);
  });
  server.set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        sendJson(res, 500, DeskAnswer::error(500, "The server failed on this request.").body);
      });
}

// The private folder: new, only the user's, in the system's temp folder.
std::optional<std::string> makeWorkFolder(platform::Env* env, std::string* problem) {
  std::string temp;
  if (!env->TempPath(&temp)) temp = ".";
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::string folder = platform::InFolder(temp, "dbfrecover-serve-" + newToken().substr(0, 12));
    platform::Status made = env->CreatePrivateFolder(folder);
    if (made) return folder;
    *problem = made.text() + " (" + folder + ")";
  }
  return std::nullopt;
}

}  // namespace

bool hostIsOurs(const std::string& host, int port) {
  std::string suffix = ":" + std::to_string(port);
  return host == "127.0.0.1" + suffix || host == "localhost" + suffix;
}

bool tokenMatches(const std::string& presented, const std::string& token) {
  if (token.empty() || presented.size() != token.size()) return false;
  // Every byte is looked at, whatever the first difference, so that the
  // time taken tells nothing about the token.
  unsigned char difference = 0;
  for (size_t i = 0; i < token.size(); ++i) {
    difference |= static_cast<unsigned char>(presented[i] ^ token[i]);
  }
  return difference == 0;
}

int ServeMain(int argc, char** argv, std::ostream& out, std::ostream& err) {
  CLI::App app("dbfrecover serve", "serve");
  int port = 0;
  bool open = false;
  uint64_t uploadMiB = kDefaultUploadMiB;
  app.add_option("--port", port)->check(CLI::Range(0, 65535));
  app.add_flag("--open", open);
  app.add_option("--max-upload", uploadMiB)->check(CLI::Range(uint64_t{1}, kMostUploadMiB));
  if (int status = parseSubcommand(app, argc, argv, kHelp, out, err); status >= 0) return status;

  platform::Env* env = platform::Env::Default();
  platform::UseUsersCharacterSet();
  platform::IgnoreBrokenPipe();
  std::string problem;
  std::optional<std::string> folder = makeWorkFolder(env, &problem);
  if (!folder) {
    err << "dbfrecover serve: cannot make a private temporary folder: " << plainText(problem)
        << "\n";
    return kExitCannotCreate;
  }
  std::string engineProblem;
  std::optional<Engine> engine = loadEngine(enginePath(), &engineProblem);
  if (engine) engineProblem.clear();

  int status = kExitOk;
  {
    std::string token = newToken();
    httplib::Server server;
    int boundPort = 0;
    guard(server, token, &boundPort, uploadMiB * kMiB);
    server.set_payload_max_length(static_cast<size_t>(uploadMiB * kMiB));
    ServeDesk desk(env, *folder, engine, engineProblem, uploadMiB * kMiB);
    routes(server, env, &desk, engineProblem);

    boundPort = port == 0 ? server.bind_to_any_port("127.0.0.1")
                          : (server.bind_to_port("127.0.0.1", port) ? port : -1);
    if (boundPort <= 0) {
      err << "dbfrecover serve: cannot listen on 127.0.0.1"
          << (port == 0 ? std::string() : ":" + std::to_string(port))
          << " (in use by another program?)\n";
      status = kExitCannotCreate;
    } else {
      std::string address =
          "http://127.0.0.1:" + std::to_string(boundPort) + "/?token=" + token;
      out << "Open this address in your web browser (it works on this computer only):\n  "
          << address << "\nUploads and results are kept in " << plainText(*folder)
          << " until the server stops.\n";
      if (!engine) {
        out << "The recovery engine could not be loaded (" << plainText(engineProblem)
            << "): tables can be looked at, not recovered.\n";
      }
      out << "Press Ctrl-C to stop.\n" << std::flush;
      if (open && !platform::OpenInBrowser(address)) {
        err << "dbfrecover serve: could not open a browser; open the address yourself.\n";
      }
      // A closed terminal stops it as Ctrl-C does, so that the private
      // folder with the user's tables is removed either way.
      platform::InstallStopHandler(kExitUserBreak);
      std::atomic<bool> listening{true};
      std::thread watcher([&] {
        while (listening && !platform::StopRequested()) {
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        server.stop();
      });
      server.listen_after_bind();
      listening = false;
      watcher.join();
      out << "Stopping: the private folder is removed.\n" << std::flush;
    }
  }
  // The desk has stopped the engine and let go of every file by now.
  std::error_code ignored;
  std::filesystem::remove_all(*folder, ignored);
  if (ignored) {
    err << "dbfrecover serve: could not remove " << plainText(*folder) << ": "
        << plainText(ignored.message()) << "\n";
  }
  return status;
}

}  // namespace kest::host
