#pragma once
// An HTTP server whose connections must deliver each request, headers and body, within a
// deadline. The library's own read timeout counts each wait for the next bytes, so without
// this a client sending a byte every few seconds would keep a worker thread for as long as
// it likes, and a few such clients would hold them all.
#include <chrono>
#include <memory>

namespace httplib {
class Server;
}

namespace norvex {

// The server reads each request within request_deadline of its first byte, else closes
// the connection; waiting on a kept-alive connection and writing responses are not counted.
std::unique_ptr<httplib::Server> make_deadline_server(std::chrono::milliseconds request_deadline);

}  // namespace norvex
