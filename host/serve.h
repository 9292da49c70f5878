// dbfrecover serve: a page in the user's browser for recovering tables,
// for people who never open a terminal, and the JSON API it is built on.
//
// The server listens on 127.0.0.1 only. Every request must carry the
// random token of the printed address and name the server's own address in
// its Host header, so that no other page the browser shows (nor a site
// whose name is made to point at 127.0.0.1) can reach it. Uploads and
// results live in a private folder of its own, removed when it stops; no
// name or path in a request is ever used as a path.
#ifndef KEST_HOST_SERVE_H_
#define KEST_HOST_SERVE_H_

#include <ostream>
#include <string>

namespace kest::host {

// Whether a request may be served: `host` is its Host header, `token` the
// token it presented, `port` the port the server listens on.
bool hostIsOurs(const std::string& host, int port);
bool tokenMatches(const std::string& presented, const std::string& token);

// `dbfrecover serve ARGS...`: argv[0] is "serve". Runs until Ctrl-C.
int ServeMain(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace kest::host

#endif  // KEST_HOST_SERVE_H_
