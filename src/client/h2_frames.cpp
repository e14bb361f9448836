// The frame scan behind the httpx client's bounds on HTTP/2 servers that
// make no progress (pelun_online_sdk/_httpx_h2.py says which bounds, and
// why). The guard's streams read and write through here: every chunk goes
// to the scan, which finds the 9-byte frame headers in bytes cut anywhere,
// steps over payloads without reading them, and keeps the connection's
// counts and the time of its last progress. A read or write of an HTTP/2
// connection is one call of C++ around the stream's own, with no Python
// frame of its own: httpcore makes several for every answer it reads.
#include "client/h2_frames.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>  // std::lock_guard
#include <string>
#include <utility>
#include <vector>

#include "native/boxes.hpp"
#include "native/buffers.hpp"
#include "native/imports.hpp"

namespace client {
namespace {

enum FrameType : uint8_t {
    kData = 0x0,
    kHeaders = 0x1,
    kRstStream = 0x3,
    kGoaway = 0x7,
    kContinuation = 0x9,
};
constexpr uint8_t kEndStream = 0x1;
constexpr uint8_t kPadded = 0x8;
constexpr size_t kHeaderSize = 9;
// "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", which the client sends before its first frame.
constexpr uint32_t kClientPrefaceSize = 24;

const char* const kFrameNames[] = {"DATA",          "HEADERS",      "PRIORITY", "RST_STREAM",
                                   "SETTINGS",      "PUSH_PROMISE", "PING",     "GOAWAY",
                                   "WINDOW_UPDATE", "CONTINUATION"};

struct Frame {
    uint8_t type;
    uint8_t flags;
    uint32_t stream;
    // The payload without its padding for DATA frames; the payload for others.
    uint32_t data_length;
};

// Finds the frame headers in a byte stream cut anywhere, skipping payloads unread.
class FrameReader {
public:
    explicit FrameReader(uint32_t preface = 0) : preface_(preface) {}

    // Calls on_frame(frame) for each frame whose header ends in these bytes
    // (a padded DATA frame: whose pad length does), until it returns false;
    // the rest waits for the next bytes.
    template <class OnFrame>
    void read(const uint8_t* data, size_t size, OnFrame&& on_frame);

private:
    // The header of a frame, whole: from the bytes, or from those carried over.
    const uint8_t* next_header(const uint8_t* data, size_t size, size_t& pos);

    uint8_t head_[kHeaderSize] = {};
    size_t head_size_ = 0;
    uint64_t skip_ = 0;
    uint32_t preface_;
    // A padded DATA frame whose pad-length byte has not arrived yet.
    bool padded_ = false;
    Frame pending_{};
    uint32_t pending_length_ = 0;
};

const uint8_t* FrameReader::next_header(const uint8_t* data, size_t size, size_t& pos) {
    if (head_size_ == 0 && size - pos >= kHeaderSize) {
        pos += kHeaderSize;
        return data + pos - kHeaderSize;
    }
    size_t take = std::min(kHeaderSize - head_size_, size - pos);
    std::memcpy(head_ + head_size_, data + pos, take);
    head_size_ += take;
    pos += take;
    if (head_size_ < kHeaderSize) return nullptr;
    head_size_ = 0;
    return head_;
}

template <class OnFrame>
void FrameReader::read(const uint8_t* data, size_t size, OnFrame&& on_frame) {
    size_t pos = std::min<size_t>(preface_, size);
    preface_ -= static_cast<uint32_t>(pos);
    while (pos < size) {
        if (skip_ != 0) {
            uint64_t step = std::min<uint64_t>(skip_, size - pos);
            skip_ -= step;
            pos += static_cast<size_t>(step);
            continue;
        }
        if (padded_) {
            // The pad length is the payload's first byte, stepped over with it.
            padded_ = false;
            uint32_t unpadded = pending_length_ - 1;
            pending_.data_length = unpadded > data[pos] ? unpadded - data[pos] : 0;
            skip_ = pending_length_;
            if (!on_frame(pending_)) return;
            continue;
        }
        const uint8_t* header = next_header(data, size, pos);
        if (header == nullptr) return;
        uint32_t length = uint32_t{header[0]} << 16 | uint32_t{header[1]} << 8 | header[2];
        Frame frame{header[3], header[4],
                    uint32_t{header[5] & 0x7Fu} << 24 | uint32_t{header[6]} << 16 |
                        uint32_t{header[7]} << 8 | header[8],
                    length};
        if (frame.type == kData && (frame.flags & kPadded) != 0 && length != 0) {
            padded_ = true;
            pending_ = frame;
            pending_length_ = length;
            continue;
        }
        skip_ = length;
        if (!on_frame(frame)) return;
    }
}

using Clock = std::chrono::steady_clock;

// The bounds, as the guard sets them.
struct Bounds {
    uint64_t max_idle_frames;
    uint64_t small_frames_grace;
    uint64_t min_data_frame_bytes;
    uint64_t progress_header_frames;
};

// Forgets the streams that began longest ago once far more have begun than
// can be open. A stream the client abandons (a response closed half read)
// ends with a RST_STREAM of its own, never seen from the server: its counts
// go this way. No more than 100 are open at once (httpcore's limit), and
// ids only grow, so the lowest are the oldest.
template <class Count>
Count& stream_count(std::map<uint32_t, Count>& streams, uint32_t stream) {
    constexpr size_t kKept = 1024;
    if (streams.size() >= kKept && streams.find(stream) == streams.end()) {
        auto oldest = streams.begin();
        std::advance(oldest, kKept / 2);
        streams.erase(streams.begin(), oldest);
    }
    return streams[stream];
}

// One HTTP/2 connection: its frame readers, one for each way, and the
// counts they share.
class Connection {
public:
    static constexpr const char* kBoxTag = "pelun_online_sdk.client.h2_connection";

    explicit Connection(const Bounds& bounds) : bounds_(bounds) {}

    // The server's bytes moved some request on; a refusal, once one is due,
    // is kept in refusal().
    bool from_server(const uint8_t* data, size_t size);
    // The client's bytes moved some request on.
    bool from_client(const uint8_t* data, size_t size);
    const std::string& refusal() const { return refusal_; }
    // The frames since the last progress, by kind: "12 PING, 1 SETTINGS frames".
    std::string idle_summary() const;

    // The two ways may be read and written from two threads at once.
    native::BoxLock lock;

    // The stream these counts guard, and what its reads raise; none when
    // the scan is used alone. `socket` is httpcore's socket under the
    // stream, read here directly, where the stream is httpcore's own.
    py::object stream_read;
    py::object stream_write;
    py::object socket;
    py::object socket_timeout;  // socket.timeout
    py::object timeout_error;   // httpcore.ReadTimeout
    py::object read_error;      // httpcore.ReadError
    py::object protocol_error;  // httpcore.RemoteProtocolError
    // When a frame last moved some request on, either way (under the lock).
    Clock::time_point last_progress = Clock::now();

private:
    struct DataCount {
        uint64_t frames = 0;
        uint64_t bytes = 0;
    };

    bool server_frame(const Frame& frame);
    bool data_frame(const Frame& frame);
    bool header_frame(const Frame& frame);
    bool idle_frame(const Frame& frame);
    void made_progress();
    void forget(uint32_t stream);

    Bounds bounds_;
    FrameReader server_;
    FrameReader client_{kClientPrefaceSize};
    std::map<uint32_t, DataCount> data_frames_;
    std::map<uint32_t, uint64_t> header_frames_;
    uint64_t idle_ = 0;
    std::array<uint64_t, 256> idle_kinds_{};
    bool progress_ = false;
    std::string refusal_;
};

bool Connection::from_server(const uint8_t* data, size_t size) {
    progress_ = false;
    if (refusal_.empty()) {
        server_.read(data, size, [this](const Frame& frame) { return server_frame(frame); });
    }
    return progress_;
}

bool Connection::from_client(const uint8_t* data, size_t size) {
    progress_ = false;
    client_.read(data, size, [this](const Frame& frame) {
        // A request starts, or an upload moves.
        if (frame.type == kHeaders ||
            (frame.type == kData && (frame.data_length != 0 || (frame.flags & kEndStream) != 0))) {
            made_progress();
        }
        return true;
    });
    return progress_;
}

bool Connection::server_frame(const Frame& frame) {
    switch (frame.type) {
        case kData:
            return data_frame(frame);
        case kHeaders:
        case kContinuation:
            return header_frame(frame);
        case kRstStream:
            forget(frame.stream);
            made_progress();
            return true;
        case kGoaway:
            made_progress();
            return true;
        default:
            return idle_frame(frame);
    }
}

bool Connection::data_frame(const Frame& frame) {
    DataCount& count = stream_count(data_frames_, frame.stream);
    ++count.frames;
    count.bytes += frame.data_length;
    if (count.frames > bounds_.small_frames_grace &&
        count.bytes < count.frames * bounds_.min_data_frame_bytes) {
        refusal_ = "HTTP/2 server sent the response in " + std::to_string(count.frames) +
                   " DATA frames of " + std::to_string(count.bytes) +
                   " bytes in all; a body cut into frames of less than " +
                   std::to_string(bounds_.min_data_frame_bytes) + " bytes on average is refused";
        return false;
    }
    if ((frame.flags & kEndStream) != 0) {
        forget(frame.stream);
        made_progress();
        return true;
    }
    if (frame.data_length != 0) {
        made_progress();
        return true;
    }
    return idle_frame(frame);
}

// The first header blocks of a stream are progress (informational answers,
// the response, its trailers); a stream of them without end is not.
bool Connection::header_frame(const Frame& frame) {
    uint64_t blocks = ++stream_count(header_frames_, frame.stream);
    if (frame.type == kHeaders && (frame.flags & kEndStream) != 0) forget(frame.stream);
    if (blocks <= bounds_.progress_header_frames) {
        made_progress();
        return true;
    }
    return idle_frame(frame);
}

bool Connection::idle_frame(const Frame& frame) {
    ++idle_;
    ++idle_kinds_[frame.type];
    if (idle_ > bounds_.max_idle_frames) {
        refusal_ = "HTTP/2 server sent " + std::to_string(idle_) +
                   " frames in a row that carry nothing of any response (" + idle_summary() + ")";
        return false;
    }
    return true;
}

void Connection::made_progress() {
    progress_ = true;
    if (idle_ != 0) {
        idle_ = 0;
        idle_kinds_.fill(0);
    }
}

void Connection::forget(uint32_t stream) {
    data_frames_.erase(stream);
    header_frames_.erase(stream);
}

std::string kind_name(size_t kind) {
    if (kind < std::size(kFrameNames)) return kFrameNames[kind];
    const char* digits = "0123456789abcdef";
    std::string hex =
        kind >= 16 ? std::string{digits[kind >> 4], digits[kind & 15]} : std::string{digits[kind]};
    return "type 0x" + hex;
}

std::string Connection::idle_summary() const {
    std::vector<std::pair<uint64_t, size_t>> kinds;  // (count, kind)
    for (size_t kind = 0; kind < idle_kinds_.size(); ++kind) {
        if (idle_kinds_[kind] != 0) kinds.emplace_back(idle_kinds_[kind], kind);
    }
    if (kinds.empty()) return "nothing";
    // Most frequent first, then by kind.
    std::sort(kinds.begin(), kinds.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first > b.first : a.second < b.second;
    });
    std::string summary;
    for (const auto& [count, kind] : kinds) {
        if (!summary.empty()) summary += ", ";
        summary += std::to_string(count) + " " + kind_name(kind);
    }
    return summary + " frames";
}

// ------------------------------------------------------------------ functions

// Not part of the module's namespace: the guard holds them. Their traceback
// entries stand at the class whose clients use them.
constexpr int kHttpxClassLine = 195;
constexpr Def kConnectionDef{"_httpx_h2.connection", kHttpxClassLine};
constexpr Def kFromServerDef{"_httpx_h2.from_server", kHttpxClassLine};
constexpr Def kFromClientDef{"_httpx_h2.from_client", kHttpxClassLine};
constexpr Def kIdleFramesDef{"_httpx_h2.idle_frames", kHttpxClassLine};
constexpr Def kReadDef{"_httpx_h2.read", kHttpxClassLine};
constexpr Def kWriteDef{"_httpx_h2.write", kHttpxClassLine};

const Name kReadName("read");
const Name kWriteName("write");
const Name kSettimeout("settimeout");
const Name kRecv("recv");

enum class ConnectionParam {
    kMaxIdle,
    kGrace,
    kMinBytes,
    kHeaderFrames,
    kStream,
    kSocket,
    kErrors,
};
enum class ScanParam { kConnection, kData };
enum class SummaryParam { kConnection };
enum class StreamParam { kConnection, kBytes, kTimeout };

uint64_t bound(Call& call, ConnectionParam param) {
    return static_cast<uint64_t>(native::range_length(call.arg(param)));
}

// The next of the error classes given, or TypeError when they run out.
py::object next_class(native::Iterator& classes) {
    py::object taken;
    if (!classes.next(taken)) {
        native::raise_error(PyExc_TypeError,
                            "errors must be (socket.timeout, httpcore.ReadTimeout, "
                            "httpcore.ReadError, httpcore.RemoteProtocolError)");
    }
    return taken;
}

void guard_stream(Connection& connection, Call& call) {
    py::handle stream = call.arg(ConnectionParam::kStream);
    connection.stream_read = native::getattr(stream, kReadName);
    connection.stream_write = native::getattr(stream, kWriteName);
    py::handle socket = call.arg(ConnectionParam::kSocket);
    if (!socket.is_none()) connection.socket = py::reinterpret_borrow<py::object>(socket);
    native::Iterator classes(call.arg(ConnectionParam::kErrors));
    connection.socket_timeout = next_class(classes);
    connection.timeout_error = next_class(classes);
    connection.read_error = next_class(classes);
    connection.protocol_error = next_class(classes);
}

// connection(max_idle_frames, small_frames_grace, min_data_frame_bytes,
// progress_header_frames, stream=None, socket=None, errors=None): the
// counts of a new connection, in a box; with a stream (and the errors
// socket.timeout, httpcore.ReadTimeout, ReadError and RemoteProtocolError),
// the counts that read() and write() guard it with; with the stream's
// socket too, read() reads that.
py::object connection(Call& call) {
    Bounds bounds{bound(call, ConnectionParam::kMaxIdle), bound(call, ConnectionParam::kGrace),
                  bound(call, ConnectionParam::kMinBytes),
                  bound(call, ConnectionParam::kHeaderFrames)};
    auto made = std::make_unique<Connection>(bounds);
    if (!call.arg(ConnectionParam::kStream).is_none()) guard_stream(*made, call);
    return native::box(std::move(made));
}

// from_server(connection, data): True when the bytes moved some request on,
// the refusal's message (a str) when they bring the connection past a
// bound, None otherwise.
py::object from_server(Call& call) {
    Connection& connection = native::unbox<Connection>(call.arg(ScanParam::kConnection));
    native::ByteView bytes(call.arg(ScanParam::kData));
    bool progress;
    std::string refusal;
    {
        std::lock_guard<native::BoxLock> held(connection.lock);
        progress = connection.from_server(bytes.data(), bytes.size());
        refusal = connection.refusal();
    }
    if (!refusal.empty()) return native::text(refusal.c_str());
    return progress ? py::object(py::bool_(true)) : py::object(py::none());
}

// from_client(connection, data): True when the bytes moved some request on, None otherwise.
py::object from_client(Call& call) {
    Connection& connection = native::unbox<Connection>(call.arg(ScanParam::kConnection));
    native::ByteView bytes(call.arg(ScanParam::kData));
    bool progress;
    {
        std::lock_guard<native::BoxLock> held(connection.lock);
        progress = connection.from_client(bytes.data(), bytes.size());
    }
    return progress ? py::object(py::bool_(true)) : py::object(py::none());
}

std::string idle_summary(Connection& connection) {
    std::lock_guard<native::BoxLock> held(connection.lock);
    return connection.idle_summary();
}

// idle_frames(connection): what the server sent since the last progress, in words.
py::object idle_frames(Call& call) {
    Connection& connection = native::unbox<Connection>(call.arg(SummaryParam::kConnection));
    return native::text(idle_summary(connection).c_str());
}

// The connection of a guarded stream's read or write.
Connection& guarded(Call& call) {
    Connection& connection = native::unbox<Connection>(call.arg(StreamParam::kConnection));
    if (!connection.stream_read) {
        native::raise_error(PyExc_TypeError, "these HTTP/2 counts guard no stream");
    }
    return connection;
}

std::string stalled_message(Connection& connection, double timeout) {
    return "HTTP/2 server made no progress for " + native::format_general(timeout) +
           " s (the read timeout): it sent " + idle_summary(connection) + " meanwhile";
}

// httpcore.RemoteProtocolError, once the server is past a bound. The
// refusal is set once and never changes after.
void raise_refusal(Connection& connection) {
    std::string refusal;
    {
        std::lock_guard<native::BoxLock> held(connection.lock);
        if (connection.refusal().empty()) return;
        refusal = connection.refusal();
    }
    native::raise_error(connection.protocol_error, refusal.c_str());
}

// The server's bytes, scanned: a refusal raised, progress timed.
void scan_from_server(Connection& connection, py::handle data) {
    native::ByteView bytes(data);
    {
        std::lock_guard<native::BoxLock> held(connection.lock);
        if (connection.from_server(bytes.data(), bytes.size())) {
            connection.last_progress = Clock::now();
        }
    }
    raise_refusal(connection);
}

// httpcore's socket stream's read, without its Python frame and context
// manager (they cost more than the whole guard): the socket's settimeout
// and recv, and its errors as httpcore maps them, `raise
// ReadTimeout(error) from error` for a timeout and ReadError for any other
// OSError.
py::object read_socket(Connection& connection, py::handle max_bytes, py::handle timeout) {
    try {
        native::call_method(connection.socket, kSettimeout, {timeout});
        return native::call_method(connection.socket, kRecv, {max_bytes});
    } catch (native::PythonError& error) {
        if (error.matches(connection.socket_timeout)) {
            native::raise_from(connection.timeout_error, error);
        }
        if (error.matches(PyExc_OSError)) native::raise_from(connection.read_error, error);
        throw;
    }
}

py::object read_stream(Connection& connection, py::handle max_bytes, py::handle timeout) {
    if (connection.socket) return read_socket(connection, max_bytes, timeout);
    return native::call(connection.stream_read, {max_bytes, timeout});
}

// read(connection, max_bytes, timeout=None): the stream's read, bounded by
// the read timeout since the last progress rather than since the last byte;
// httpcore.ReadTimeout when that runs out, httpcore.RemoteProtocolError
// once the server is past a bound (and from then on).
py::object read(Call& call) {
    Connection& connection = guarded(call);
    raise_refusal(connection);
    py::handle max_bytes = call.arg(StreamParam::kBytes);
    py::handle timeout = call.arg(StreamParam::kTimeout);
    if (timeout.is_none()) {
        py::object data = read_stream(connection, max_bytes, timeout);
        scan_from_server(connection, data);
        return data;
    }
    double limit = native::as_double(timeout);
    double left;
    {
        std::lock_guard<native::BoxLock> held(connection.lock);
        left =
            limit - std::chrono::duration<double>(Clock::now() - connection.last_progress).count();
    }
    if (left <= 0) {
        native::raise_error(connection.timeout_error, stalled_message(connection, limit).c_str());
    }
    // The wait left since the last progress, where it is the shorter.
    bool shortened = left < limit;
    py::object shorter = shortened ? native::new_float(left) : py::object();
    py::object data;
    try {
        data = read_stream(connection, max_bytes, shortened ? shorter : timeout);
    } catch (native::PythonError& error) {
        if (!shortened || !error.matches(connection.timeout_error)) throw;
        native::raise_from_none(connection.timeout_error,
                                stalled_message(connection, limit).c_str(), error);
    }
    scan_from_server(connection, data);
    return data;
}

// write(connection, buffer, timeout=None): the stream's write, whose
// frames may move a request on. httpcore writes whatever h2 has to send
// after every event it reads, most often nothing.
py::object write(Call& call) {
    Connection& connection = guarded(call);
    py::handle buffer = call.arg(StreamParam::kBytes);
    // httpcore's socket stream writes nothing of an empty buffer, and returns.
    if (connection.socket && native::ByteView(buffer).size() == 0) return py::none();
    native::call(connection.stream_write, {buffer, call.arg(StreamParam::kTimeout)});
    native::ByteView bytes(buffer);
    if (bytes.size() != 0) {
        std::lock_guard<native::BoxLock> held(connection.lock);
        if (connection.from_client(bytes.data(), bytes.size())) {
            connection.last_progress = Clock::now();
        }
    }
    return py::none();
}

const native::FunctionDecl kConnection =
    native::FunctionDecl(kConnectionDef, connection)
        .params({{"max_idle_frames", nullptr, ArgTest::kExactInt},
                 {"small_frames_grace", nullptr, ArgTest::kExactInt},
                 {"min_data_frame_bytes", nullptr, ArgTest::kExactInt},
                 {"progress_header_frames", nullptr, ArgTest::kExactInt},
                 {"stream", nullptr, ArgTest::kAny, Default::none()},
                 {"socket", nullptr, ArgTest::kAny, Default::none()},
                 {"errors", nullptr, ArgTest::kAny, Default::none()}});
const native::FunctionDecl kFromServer =
    native::FunctionDecl(kFromServerDef, from_server).params({{"connection"}, {"data"}});
const native::FunctionDecl kFromClient =
    native::FunctionDecl(kFromClientDef, from_client).params({{"connection"}, {"data"}});
const native::FunctionDecl kIdleFrames =
    native::FunctionDecl(kIdleFramesDef, idle_frames).params({{"connection"}});
const native::FunctionDecl kRead =
    native::FunctionDecl(kReadDef, read)
        .params(
            {{"connection"}, {"max_bytes"}, {"timeout", nullptr, ArgTest::kAny, Default::none()}});
const native::FunctionDecl kWrite =
    native::FunctionDecl(kWriteDef, write)
        .params({{"connection"}, {"buffer"}, {"timeout", nullptr, ArgTest::kAny, Default::none()}});

}  // namespace

py::tuple h2_frame_scan(py::handle globals) {
    return native::tuple_of(
        {native::make_function(kConnection, globals), native::make_function(kFromServer, globals),
         native::make_function(kFromClient, globals), native::make_function(kIdleFrames, globals),
         native::make_function(kRead, globals), native::make_function(kWrite, globals)});
}

}  // namespace client
