// tcp_bench_asio.cpp: the Boost.Asio side of tcp_bench: an echo server and
// its clients on one io_context thread, on loopback. Kept in its own
// translation unit: Asio includes the system socket headers, which never
// meet vxplatform.h.
#include "tcp_bench_asio.h"

#include <boost/asio.hpp>

#include <chrono>
#include <memory>
#include <vector>

namespace vxbench {

namespace {

using boost::asio::ip::tcp;

const size_t kChunk = 32768;  // as the controller's receives

// Echoes everything back until the peer closes.
class EchoSession : public std::enable_shared_from_this<EchoSession> {
public:
    explicit EchoSession(tcp::socket socket) : socket_(std::move(socket)) {}
    void Start() { Read(); }

private:
    void Read() {
        auto self = shared_from_this();
        socket_.async_read_some(boost::asio::buffer(buffer_),
                                [self](boost::system::error_code error, size_t n) {
                                    if (!error)
                                        self->Write(n);
                                });
    }
    void Write(size_t n) {
        auto self = shared_from_this();
        boost::asio::async_write(socket_, boost::asio::buffer(buffer_, n),
                                 [self](boost::system::error_code error, size_t) {
                                     if (!error)
                                         self->Read();
                                 });
    }
    tcp::socket socket_;
    char buffer_[kChunk];
};

// Sends its bytes in chunks while reading the echo; done when all are back.
class Client : public std::enable_shared_from_this<Client> {
public:
    Client(boost::asio::io_context& io, size_t total, size_t* finished)
        : socket_(io), data_(kChunk * 2, 'x'), total_(total), finished_(finished) {}
    void Start(const tcp::endpoint& target) {
        auto self = shared_from_this();
        socket_.async_connect(target, [self](boost::system::error_code error) {
            if (error)
                return;
            self->socket_.set_option(tcp::no_delay(true));
            self->Send();
            self->Read();
        });
    }

private:
    void Send() {
        if (sent_ >= total_)
            return;
        const size_t n = std::min(kChunk * 2, total_ - sent_);
        sent_ += n;
        auto self = shared_from_this();
        boost::asio::async_write(socket_, boost::asio::buffer(data_.data(), n),
                                 [self](boost::system::error_code error, size_t) {
                                     if (!error)
                                         self->Send();
                                 });
    }
    void Read() {
        auto self = shared_from_this();
        socket_.async_read_some(boost::asio::buffer(buffer_),
                                [self](boost::system::error_code error, size_t n) {
                                    if (error)
                                        return;
                                    self->received_ += n;
                                    if (self->received_ >= self->total_) {
                                        ++*self->finished_;
                                        self->socket_.close();
                                        return;
                                    }
                                    self->Read();
                                });
    }
    tcp::socket socket_;
    std::vector<char> data_;
    char buffer_[kChunk];
    size_t total_;
    size_t sent_ = 0;
    size_t received_ = 0;
    size_t* finished_;
};

}  // namespace

double AsioEchoSeconds(size_t connections, size_t bytesEach) {
    boost::asio::io_context io;
    tcp::acceptor acceptor(io, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    std::function<void()> acceptNext = [&] {
        acceptor.async_accept([&](boost::system::error_code error, tcp::socket socket) {
            if (error)
                return;
            socket.set_option(tcp::no_delay(true));
            std::make_shared<EchoSession>(std::move(socket))->Start();
            acceptNext();
        });
    };
    acceptNext();
    size_t finished = 0;
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < connections; ++i)
        std::make_shared<Client>(io, bytesEach, &finished)->Start(acceptor.local_endpoint());
    while (finished < connections)
        io.run_one();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    acceptor.close();
    io.stop();
    return seconds;
}

}  // namespace vxbench
