#include <cstring>
#include <limits>
#include <string>

#include "clientlib/bytes.h"
#include "clientlib/clock.h"
#include "clientlib/error.h"
#include "clientlib/image.h"
#include "clientlib/reply.h"

namespace clientlib {
namespace {

[[noreturn]] void ThrowCode(uint32_t code, const std::string& when) {
    if (IsReplyCode(code, Service::Image))
        throw ClientError(
            ErrorKind::ServerCode,
            when + ": reply code " + std::to_string(code) + ": " + DescribeReply(code, Service::Image), code);
    throw ClientError(ErrorKind::BadReply, when + ": unexpected word " + std::to_string(code));
}

}  // namespace

void CheckShowRequest(uint32_t width, uint32_t height, size_t rgb_bytes) {
    uint64_t n = uint64_t{width} * height * 3;
    if (n + 20 > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
        throw ClientError(ErrorKind::Usage, "an image of " + std::to_string(width) + " x " +
                                                std::to_string(height) +
                                                " pixels is too large for one request");
    if (rgb_bytes != n)
        throw ClientError(ErrorKind::Usage, "an image of " + std::to_string(width) + " x " +
                                                std::to_string(height) + " pixels needs " +
                                                std::to_string(n) + " RGB bytes, not " +
                                                std::to_string(rgb_bytes));
}

ImageSession ImageSession::Connect(const Address& address, std::chrono::milliseconds timeout) {
    return Attach(clientlib::Connect(address, timeout), Deadline::After(timeout));
}

ImageSession ImageSession::Attach(Socket socket, Deadline deadline) {
    uint32_t word = ReadWord(socket.fd(), deadline);
    if (word != REPLY_OK) ThrowCode(word, "the server refused the connection");
    return ImageSession(std::move(socket));
}

uint32_t ImageSession::RequestKey(Deadline deadline) {
    uint8_t zero[4] = {0, 0, 0, 0};
    WriteAll(fd(), zero, deadline);
    uint32_t word = ReadWord(fd(), deadline);
    if (word != REPLY_OK) ThrowCode(word, "the server issued no key");
    uint32_t key = ReadWord(fd(), deadline);
    if (key == 0 || key > 2147483647u)
        throw ClientError(ErrorKind::BadReply, "the server issued the impossible key " + std::to_string(key));
    return key;
}

void ImageSession::PresentKey(uint32_t key, Deadline deadline) {
    if (key == 0) throw ClientError(ErrorKind::Usage, "the key 0 asks for a new key; it cannot be presented");
    uint8_t w[4];
    PutBe32(w, key);
    WriteAll(fd(), w, deadline);
    uint32_t word = ReadWord(fd(), deadline);
    if (word != REPLY_OK) ThrowCode(word, "the server refused the key");
}

void ImageSession::SendShow(uint32_t width, uint32_t height, uint32_t x, uint32_t y,
                            std::span<const uint8_t> rgb, Deadline deadline) {
    CheckShowRequest(width, height, rgb.size());
    uint8_t head[20];
    PutBe32(head, kCommandShow);
    PutBe32(head + 4, width);
    PutBe32(head + 8, height);
    PutBe32(head + 12, x);
    PutBe32(head + 16, y);
    std::span<const uint8_t> pieces[2] = {head, rgb};
    WriteAll(fd(), pieces, deadline);
}

void ImageSession::SendFill(uint32_t colour, Deadline deadline) {
    uint8_t req[8];
    PutBe32(req, kCommandFill);
    PutBe32(req + 4, colour);
    WriteAll(fd(), req, deadline);
}

void ImageSession::SendQuery(uint32_t a, uint32_t b, Deadline deadline) {
    uint8_t req[12];
    PutBe32(req, kCommandQuery);
    PutBe32(req + 4, a);
    PutBe32(req + 8, b);
    WriteAll(fd(), req, deadline);
}

void ImageSession::SendTimeStamp(const std::array<uint8_t, 8>& bytes, Deadline deadline) {
    uint8_t req[12];
    PutBe32(req, kCommandTimeStamp);
    std::memcpy(req + 4, bytes.data(), 8);
    WriteAll(fd(), req, deadline);
}

void ImageSession::SendPresentAt(uint32_t server_micros, Deadline deadline) {
    // A show-image request of 0 x 0 pixels: the server passes its X word
    // (-3) and Y word (the moment) to the viewer unchanged.
    SendShow(0, 0, kPresentAtWord, server_micros, {}, deadline);
}

uint32_t ImageSession::ReadResult(Deadline deadline) { return ReadWord(fd(), deadline); }

ClockAnswer ImageSession::ReadClockAnswer(Deadline deadline) {
    ClockAnswer a;
    a.code = ReadWord(fd(), deadline);
    if (a.code != REPLY_OK) return a;
    uint8_t rest[24];
    ReadExact(fd(), rest, sizeof rest, deadline);
    std::memcpy(a.echo.data(), rest, 8);
    a.t1_sec = GetBe32(rest + 8);
    a.t1_usec = GetBe32(rest + 12);
    a.t2_sec = GetBe32(rest + 16);
    a.t2_usec = GetBe32(rest + 20);
    return a;
}

uint32_t ImageSession::Show(uint32_t width, uint32_t height, uint32_t x, uint32_t y,
                            std::span<const uint8_t> rgb, Deadline deadline) {
    SendShow(width, height, x, y, rgb, deadline);
    return ReadResult(deadline);
}

uint32_t ImageSession::Fill(uint32_t colour, Deadline deadline) {
    SendFill(colour, deadline);
    return ReadResult(deadline);
}

uint32_t ImageSession::Query(uint32_t a, uint32_t b, Deadline deadline) {
    SendQuery(a, b, deadline);
    return ReadResult(deadline);
}

uint32_t ImageSession::PresentAt(uint32_t server_micros, Deadline deadline) {
    SendPresentAt(server_micros, deadline);
    return ReadResult(deadline);
}

ClockSample ImageSession::ExchangeClock(Deadline deadline) {
    ClockSample s;
    std::array<uint8_t, 8> bytes;
    s.t0 = WallClockMicros();
    PutBe64(bytes.data(), static_cast<uint64_t>(s.t0));
    SendTimeStamp(bytes, deadline);
    ClockAnswer a = ReadClockAnswer(deadline);
    s.t3 = WallClockMicros();
    if (a.code != REPLY_OK) ThrowCode(a.code, "the time-stamp exchange failed");
    if (a.echo != bytes)
        throw ClientError(ErrorKind::BadReply, "the time-stamp answer does not carry the bytes sent");
    if (a.t1_usec >= 1000000 || a.t2_usec >= 1000000)
        throw ClientError(ErrorKind::BadReply, "the time-stamp answer holds more than 999999 microseconds");
    // The server sends the low 32 bits of its seconds; the local clock tells the rest.
    int64_t t1_sec = NearestWithLowBits(a.t1_sec, s.t0 / 1000000);
    int64_t t2_sec = NearestWithLowBits(a.t2_sec, s.t0 / 1000000);
    s.t1 = t1_sec * 1000000 + a.t1_usec;
    s.t2 = t2_sec * 1000000 + a.t2_usec;
    return s;
}

}  // namespace clientlib
