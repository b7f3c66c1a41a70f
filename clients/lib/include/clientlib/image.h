// Client side of the image service.
//
// Conversation: connect, reply 0 (or a refusal code and the close); the key
// handshake (send 0 to be issued the key: reply 0 and the key; or send the
// key: reply 0; refusals 26 and 27); then requests. Job answers (show, fill,
// query) come in the order of the jobs; a time-stamp answer comes at once, so
// it may overtake the answers of jobs still queued:
//   0 show image: 0, W, H, X, Y, W*H*3 RGB bytes   -> one result word
//   1 fill:       1, colour 0xRRGGBB               -> one result word
//   2 time stamp: 2, 8 bytes of the client's own   -> 28-byte answer or one code (19, 28)
//   3 query:      3, A, B                          -> one result word (the value)
// A show-image request of 0 x 0 pixels whose X word is -3 arms a presentation
// moment instead (SendPresentAt). Every word is 32-bit big-endian.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <span>

#include "clientlib/address.h"
#include "clientlib/io.h"

namespace clientlib {

enum ImageCommand : uint32_t {
    kCommandShow = 0,
    kCommandFill = 1,
    kCommandTimeStamp = 2,
    kCommandQuery = 3,
};

enum QueryWhat : uint32_t {
    kQueryWidth = 1,
    kQueryHeight = 2,
    kQueryFrames = 3,
    kQueryOnset = 4,    // server wall clock in microseconds of the last presentation, low 32 bits
    kQueryRefresh = 5,  // the display's refresh period in microseconds, 0 when unknown
    kQueryLate = 6,     // presentations whose buffer swap missed a refresh
};

// The X word of a show-image request that arms a presentation moment.
inline constexpr uint32_t kPresentAtWord = 0xFFFFFFFDu;  // -3

// Results the viewer chooses itself (beside the values of queries).
inline constexpr uint32_t kResultRejected = 1001;  // unknown request or query
inline constexpr uint32_t kResultNoMemory = 1002;  // the picture could not be held
inline constexpr uint32_t kResultLate = 1003;      // presented more than one refresh after its moment

// The answer to a time-stamp request as it came over the wire.
struct ClockAnswer {
    uint32_t code = 0;  // 0, or the failure code (19, 28) that stood alone
    std::array<uint8_t, 8> echo{};
    uint32_t t1_sec = 0, t1_usec = 0, t2_sec = 0, t2_usec = 0;
};

// One exchange on the local wall clock (t0 sent, t3 received) and the server's (t1, t2), in µs.
struct ClockSample {
    int64_t t0 = 0, t1 = 0, t2 = 0, t3 = 0;
};

class ImageSession {
public:
    // Connects and reads the first reply; a refusal throws ClientError(ServerCode).
    static ImageSession Connect(const Address& address, std::chrono::milliseconds timeout);
    static ImageSession Attach(Socket socket, Deadline deadline);

    // Asks for the key (sends 0); returns the key issued. Throws ServerCode (26).
    uint32_t RequestKey(Deadline deadline);
    // Presents a key (not 0). Throws ServerCode (26, 27).
    void PresentKey(uint32_t key, Deadline deadline);

    // Requests without waiting for their answers (pipelining). Their answers
    // come back in the order the requests were sent (time stamps aside).
    void SendShow(uint32_t width, uint32_t height, uint32_t x, uint32_t y,
                  std::span<const uint8_t> rgb, Deadline deadline);
    void SendFill(uint32_t colour, Deadline deadline);
    void SendQuery(uint32_t a, uint32_t b, Deadline deadline);
    void SendTimeStamp(const std::array<uint8_t, 8>& bytes, Deadline deadline);
    // Arms the viewer: the next picture or fill it receives, from whichever
    // client, is prepared at once and presented at the first refresh at or
    // after the server wall-clock time whose low 32 bits are server_micros
    // (microseconds, as query 4 answers); that picture is answered 0 when
    // presented within one refresh of the moment, kResultLate after it. The
    // arming itself is answered 0 at once. Send the picture right behind it.
    void SendPresentAt(uint32_t server_micros, Deadline deadline);

    // Reads the answer to a show, fill or query request.
    uint32_t ReadResult(Deadline deadline);
    // Reads the answer to a time-stamp request: 28 bytes, or one failure code.
    ClockAnswer ReadClockAnswer(Deadline deadline);

    // Send and wait.
    uint32_t Show(uint32_t width, uint32_t height, uint32_t x, uint32_t y,
                  std::span<const uint8_t> rgb, Deadline deadline);
    uint32_t Fill(uint32_t colour, Deadline deadline);
    uint32_t Query(uint32_t a, uint32_t b, Deadline deadline);
    uint32_t PresentAt(uint32_t server_micros, Deadline deadline);
    // One time-stamp exchange carrying the local send time; throws
    // ClientError(ServerCode) for a failure code and BadReply when the echo
    // or the time words are wrong.
    ClockSample ExchangeClock(Deadline deadline);

    int fd() const { return socket_.fd(); }

private:
    explicit ImageSession(Socket s) : socket_(std::move(s)) {}
    Socket socket_;
};

// Throws ClientError(Usage) unless width * height * 3 + 20 fits a signed
// 32-bit request length and rgb holds exactly width * height * 3 bytes.
void CheckShowRequest(uint32_t width, uint32_t height, size_t rgb_bytes);

}  // namespace clientlib
