// The control service on the wire: frames of the generated client against frames
// built by hand from the framed binary protocol, and the generated processor
// serving a real socket.
#include <sys/socket.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <thrift/TApplicationException.h>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TSocket.h>

#include "tendwell/protocal/TSlaveServiceProtocol.h"

using apache::thrift::TApplicationException;
using apache::thrift::protocol::TBinaryProtocol;
using apache::thrift::protocol::TMessageType;
using apache::thrift::transport::TFramedTransport;
using apache::thrift::transport::TMemoryBuffer;
using apache::thrift::transport::TSocket;
using apache::thrift::transport::TTransportException;
using namespace tendwell;

namespace {

enum : uint8_t { kStop = 0, kI32 = 8, kString = 11, kStruct = 12, kList = 15 };

// Builds binary-protocol bytes by the protocol's rules: big-endian integers,
// strings as a 4-byte length and the bytes, fields as type, 2-byte id, value.
struct Wire {
    std::string b;
    Wire& u8(uint8_t v) { b.push_back(static_cast<char>(v)); return *this; }
    Wire& i16(int16_t v) { return u8(uint16_t(v) >> 8).u8(uint16_t(v) & 0xff); }
    Wire& i32(int32_t v) {
        for (int s = 24; s >= 0; s -= 8) u8((uint32_t(v) >> s) & 0xff);
        return *this;
    }
    Wire& str(const std::string& s) { i32(int32_t(s.size())); b += s; return *this; }
    Wire& field(uint8_t type, int16_t id) { return u8(type).i16(id); }
    Wire& stop() { return u8(kStop); }
    // Strict message header: version 1 with the type in the low byte.
    Wire& msg(const std::string& name, uint8_t type, int32_t seqid) {
        return i32(int32_t(0x80010000u | type)).str(name).i32(seqid);
    }
    Wire& status(int32_t st, const std::string& name, const std::string& msg_text,
                 const std::string& time, const std::string& cmd) {
        return field(kI32, 1).i32(st).field(kString, 2).str(name).field(kString, 3).str(msg_text)
            .field(kString, 4).str(time).field(kString, 5).str(cmd).stop();
    }
};

std::string Frame(const Wire& body) { return Wire().i32(int32_t(body.b.size())).b + body.b; }

std::shared_ptr<TBinaryProtocol> FramedOver(std::shared_ptr<apache::thrift::transport::TTransport> t) {
    return std::make_shared<TBinaryProtocol>(std::make_shared<TFramedTransport>(t));
}

std::shared_ptr<TMemoryBuffer> BufferOf(const std::string& bytes) {
    auto buf = std::make_shared<TMemoryBuffer>();
    buf->write(reinterpret_cast<const uint8_t*>(bytes.data()), uint32_t(bytes.size()));
    return buf;
}

TEST(ControlWire, ClientFramesMatchHandBuiltFrames) {
    struct Case {
        const char* name;
        std::function<void(TSlaveServiceProtocolClient&)> send;
        Wire body;
    };
    const Case cases[] = {
        {"start", [](TSlaveServiceProtocolClient& c) { c.send_start(30); },
         Wire().msg("start", 1, 0).field(kI32, 1).i32(30).stop().stop()},
        {"startOne", [](TSlaveServiceProtocolClient& c) { c.send_startOne("web", 30); },
         Wire().msg("startOne", 1, 0).field(kString, 1).str("web").field(kI32, 2).i32(30).stop().stop()},
        {"check", [](TSlaveServiceProtocolClient& c) { c.send_check(3); },
         Wire().msg("check", 1, 0).field(kI32, 1).i32(3).stop().stop()},
    };
    // One client for all: every call carries sequence id 0 whatever went before.
    auto out = std::make_shared<TMemoryBuffer>();
    TSlaveServiceProtocolClient client(FramedOver(out));
    for (const Case& c : cases) {
        c.send(client);
        // The argument structure ends with its stop byte; the body has no other.
        Wire expected = c.body;
        expected.b.pop_back();
        EXPECT_EQ(out->getBufferAsString(), Frame(expected)) << c.name;
        out->resetBuffer();
    }
}

TEST(ControlWire, ClientDecodesHandBuiltCheckReply) {
    Wire body;
    body.msg("check", 2, 0).field(kStruct, 0)
        .field(kStruct, 1).field(kString, 1).str("OK").field(kI32, 2).i32(0).stop()
        .field(kList, 2).u8(kStruct).i32(2)
        .status(2, "web", "running", "2024-01-02 03:04:05", "./web -d")
        .status(6, "cron", "fatal", "2024-01-02 03:04:06", "dxcrond")
        .stop()
        .stop();
    TSlaveServiceProtocolClient client(FramedOver(BufferOf(Frame(body))));
    TTendletStatusResponse resp;
    client.recv_check(resp);
    EXPECT_EQ(resp.returnInfo.returnMsg, "OK");
    EXPECT_EQ(resp.returnInfo.returnCode, TReturnCode::SUCC);
    ASSERT_EQ(resp.statusInfo.size(), 2u);
    EXPECT_EQ(resp.statusInfo[0].status, TTendletStatus::RUNNING);
    EXPECT_EQ(resp.statusInfo[0].name, "web");
    EXPECT_EQ(resp.statusInfo[0].msg, "running");
    EXPECT_EQ(resp.statusInfo[0].time, "2024-01-02 03:04:05");
    EXPECT_EQ(resp.statusInfo[0].start_cmd, "./web -d");
    EXPECT_EQ(resp.statusInfo[1].status, TTendletStatus::FATAL);
    EXPECT_EQ(resp.statusInfo[1].name, "cron");
    EXPECT_EQ(resp.statusInfo[1].start_cmd, "dxcrond");
}

TEST(ControlWire, ClientThrowsOnFailedRepliesAndKeepsOddValues) {
    const struct {
        const char* why;
        Wire body;
        int type;
        const char* text;
    } failures[] = {
        {"reply without its result", Wire().msg("check", 2, 0).stop(),
         TApplicationException::MISSING_RESULT, "check failed: unknown result"},
        {"exception reply", Wire().msg("check", 3, 0).field(kString, 1).str("boom")
             .field(kI32, 2).i32(0).stop(),
         TApplicationException::UNKNOWN, "boom"},
    };
    for (const auto& c : failures) {
        TSlaveServiceProtocolClient client(FramedOver(BufferOf(Frame(c.body))));
        TTendletStatusResponse resp;
        try {
            client.recv_check(resp);
            ADD_FAILURE() << c.why;
        } catch (const TApplicationException& e) {
            EXPECT_EQ(e.getType(), c.type) << c.why;
            EXPECT_STREQ(e.what(), c.text) << c.why;
        }
    }

    // An absent message stays "OK". (A code outside the table is not tried: the
    // generated enumeration has no fixed underlying type, so holding one is
    // undefined behaviour.)
    Wire start;
    start.msg("start", 2, 0).field(kStruct, 0).field(kI32, 2).i32(25).stop().stop();
    TSlaveServiceProtocolClient start_client(FramedOver(BufferOf(Frame(start))));
    TReturnResult result;
    start_client.recv_start(result);
    EXPECT_EQ(result.returnCode, TReturnCode::ERROR_NOT_RUNNING);
    EXPECT_EQ(result.returnMsg, "OK");
    EXPECT_TRUE(result.__isset.returnMsg);

    // A status sent as a string is skipped and keeps its default.
    Wire check;
    check.msg("check", 2, 0).field(kStruct, 0).field(kList, 2).u8(kStruct).i32(1)
        .field(kString, 1).str("2").field(kString, 2).str("web").stop()
        .stop().stop();
    TSlaveServiceProtocolClient check_client(FramedOver(BufferOf(Frame(check))));
    TTendletStatusResponse resp;
    check_client.recv_check(resp);
    ASSERT_EQ(resp.statusInfo.size(), 1u);
    EXPECT_EQ(resp.statusInfo[0].status, 0);
    EXPECT_EQ(resp.statusInfo[0].name, "web");

    // An empty list still carries its element type.
    auto out = std::make_shared<TMemoryBuffer>();
    TBinaryProtocol proto(out);
    TTendletStatusResponse().write(&proto);
    EXPECT_EQ(out->getBufferAsString(),
              Wire().field(kStruct, 1).field(kString, 1).str("OK").field(kI32, 2).i32(0).stop()
                  .field(kList, 2).u8(kStruct).i32(0).stop().b);
}

// Answers check with two records and records the time-out seen.
class StubHandler : public TSlaveServiceProtocolIf {
public:
    int last_timeout = -1;
    void start(TReturnResult&, const int32_t t) override { last_timeout = t; }
    void stop(TReturnResult&, const int32_t t) override { last_timeout = t; }
    void restart(TReturnResult&, const int32_t t) override { last_timeout = t; }
    void abort(TReturnResult&, const int32_t t) override { last_timeout = t; }
    void reload(TReturnResult&, const int32_t t) override { last_timeout = t; }
    void check(TTendletStatusResponse& r, const int32_t t) override {
        last_timeout = t;
        r.statusInfo.resize(2);
        r.statusInfo[0].name = "a";
        r.statusInfo[1].name = "b";
        r.statusInfo[1].status = TTendletStatus::RUNNING;
    }
    void startOne(TReturnResult&, const std::string&, const int32_t) override {}
    void stopOne(TReturnResult&, const std::string&, const int32_t) override {}
    void restartOne(TReturnResult&, const std::string&, const int32_t) override {}
    void reloadOne(TReturnResult&, const std::string&, const int32_t) override {}
    void checkOne(TTendletStatusResponse&, const std::string&, const int32_t) override {}
};

TEST(ControlWire, ProcessorAnswersUnknownMethodAndKeepsServing) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    auto handler = std::make_shared<StubHandler>();
    TSlaveServiceProtocolProcessor processor(handler);
    int served = 0;
    std::thread server([&] {
        auto proto = FramedOver(std::make_shared<TSocket>(fds[0]));
        try {
            while (processor.process(proto, proto, nullptr)) ++served;
        } catch (const TTransportException&) {
            // The client hung up.
        }
    });

    auto sock = std::make_shared<TSocket>(fds[1]);
    auto proto = FramedOver(sock);
    auto send_raw = [&](const Wire& body) {
        std::string frame = Frame(body);
        sock->write(reinterpret_cast<const uint8_t*>(frame.data()), uint32_t(frame.size()));
        sock->flush();
    };

    send_raw(Wire().msg("status", 1, 7).field(kI32, 1).i32(30).stop());
    std::string name;
    TMessageType type;
    int32_t seqid = 0;
    proto->readMessageBegin(name, type, seqid);
    TApplicationException ex;
    ex.read(proto.get());
    proto->readMessageEnd();
    proto->getTransport()->readEnd();
    EXPECT_EQ(name, "status");
    EXPECT_EQ(type, apache::thrift::protocol::T_EXCEPTION);
    EXPECT_EQ(seqid, 7);
    EXPECT_EQ(ex.getType(), TApplicationException::UNKNOWN_METHOD);
    EXPECT_STREQ(ex.what(), "Invalid method name: 'status'");

    // The same connection goes on: a generated call, then a call without its
    // time-out field, which the handler sees as 30.
    TSlaveServiceProtocolClient client(proto);
    TTendletStatusResponse resp;
    client.check(resp, 3);
    EXPECT_EQ(handler->last_timeout, 3);
    ASSERT_EQ(resp.statusInfo.size(), 2u);
    EXPECT_EQ(resp.statusInfo[1].name, "b");
    EXPECT_EQ(resp.statusInfo[1].status, TTendletStatus::RUNNING);

    send_raw(Wire().msg("check", 1, 0).stop());
    client.recv_check(resp);
    EXPECT_EQ(handler->last_timeout, 30);

    sock->close();
    server.join();
    EXPECT_EQ(served, 3);
}

}  // namespace
