// Duplex peers that break the session protocol: a raw client stream against
// a real host, and a scripted server against the real duplex client. Calls
// naming no operation, messages naming nothing, replies with unknown or
// repeated ids. The regressions of fuzz_duplex_session live here too. And a
// raw data service whose replies leave out a value the contract requires.
#include <sys/stat.h>

#include <unistd.h>

#include <grpcpp/grpcpp.h>
#include <grpcpp/impl/client_unary_call.h>

#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "norv/contracts/v1/data_service.grpc.pb.h"
#include "norv/contracts/v1/introspection.grpc.pb.h"
#include "norv/contracts/v1/shutdown.grpc.pb.h"
#include "tests/pipes/TestServices.h"
#include "tests/support/TestSupport.h"

namespace Norv::ServiceModel {
namespace {

namespace v1 = norv::contracts::v1;
using Norv::Testing::IDataService;
using Norv::Testing::IShutdown;
using Norv::Testing::IShutdownCallback;
using Norv::Testing::PrivatePipeDir;
using Norv::Testing::RecordingShutdown;
using Norv::Testing::ScriptedCallback;
using ::testing::HasSubstr;

constexpr std::int32_t kPid = 7170;
constexpr auto kDeadline = std::chrono::seconds(30);

using Stream = grpc::ClientReaderWriter<v1::ClientMessage, v1::ServerMessage>;

v1::ClientMessage Call(std::uint64_t id, int operation) {
  v1::ClientMessage message;
  v1::OperationCall* call = message.mutable_call();
  call->set_id(id);
  if (operation == 1) call->mutable_subscribe()->set_key(static_cast<std::int32_t>(id));
  if (operation == 2) call->mutable_ping();
  return message;
}

v1::ClientMessage Answer(std::uint64_t id, bool accepted) {
  v1::ClientMessage message;
  message.mutable_callback_reply()->set_id(id);
  message.mutable_callback_reply()->set_accepted(accepted);
  return message;
}

// Reads until the reply with `id`, answering nothing else.
v1::OperationReply ReplyTo(Stream& stream, std::uint64_t id) {
  v1::ServerMessage message;
  while (stream.Read(&message)) {
    if (message.has_reply() && message.reply().id() == id) return message.reply();
  }
  ADD_FAILURE() << "the session ended before the reply to call " << id;
  return {};
}

class HostilePeerHostTest : public ::testing::Test {
 protected:
  HostilePeerHostTest() : host_(service_, kPid, "Shutdown") {
    host_.AddServiceEndpoint(TypeOf<IShutdown>());
    host_.Open();
    auto channel = grpc::CreateChannel(
        "unix:" + (dir_.Path() / "pipes").string() + "/" + std::to_string(kPid) + ".Shutdown.sock",
        grpc::InsecureChannelCredentials());
    stub_ = v1::Shutdown::NewStub(channel);
  }

  std::unique_ptr<Stream> Open(grpc::ClientContext& context) {
    context.set_deadline(std::chrono::system_clock::now() + kDeadline);
    return stub_->Session(&context);
  }

  PrivatePipeDir dir_;
  std::shared_ptr<RecordingShutdown> service_ = std::make_shared<RecordingShutdown>();
  NamedPipeServiceHost host_;
  std::unique_ptr<v1::Shutdown::Stub> stub_;
};

TEST_F(HostilePeerHostTest, GarbageToTheIntrospectionServiceIsRefusedAndTheHostServesOn) {
  auto channel = grpc::CreateChannel(
      "unix:" + (dir_.Path() / "pipes").string() + "/" + std::to_string(kPid) + ".Shutdown.sock",
      grpc::InsecureChannelCredentials());
  {
    // A length-delimited field whose length runs past the end: no message.
    const char garbage[] = "\x0a\x7f\xff\xff";
    grpc::Slice slice(garbage, sizeof(garbage) - 1);
    grpc::ByteBuffer request(&slice, 1);
    grpc::ByteBuffer reply;
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + kDeadline);
    grpc::internal::RpcMethod method("/norv.contracts.v1.Introspection/Describe",
                                     grpc::internal::RpcMethod::NORMAL_RPC);
    grpc::Status status = grpc::internal::BlockingUnaryCall<grpc::ByteBuffer, grpc::ByteBuffer>(
        channel.get(), method, &context, request, &reply);
    EXPECT_FALSE(status.ok());
  }
  // The next well-formed call is answered, naming this process as a client.
  auto stub = v1::Introspection::NewStub(channel);
  grpc::ClientContext context;
  context.set_deadline(std::chrono::system_clock::now() + kDeadline);
  v1::DescribeReply reply;
  ASSERT_TRUE(stub->Describe(&context, v1::DescribeRequest(), &reply).ok());
  EXPECT_EQ(reply.server_pid(), ::getpid());
  EXPECT_EQ(reply.endpoint(), "Shutdown");
  EXPECT_FALSE(reply.has_registry()) << "this service object keeps no registry";
  ASSERT_GE(reply.connections_size(), 1);
  EXPECT_EQ(reply.connections(0).pid(), ::getpid());
  EXPECT_FALSE(reply.socket_path_replaced());
}

TEST_F(HostilePeerHostTest, MalformedCallsAndStrayRepliesLeaveTheSessionServing) {
  grpc::ClientContext context;
  auto stream = Open(context);
  ASSERT_TRUE(stream->Write(Answer(99, true)));  // nobody asked
  ASSERT_TRUE(stream->Write(Call(5, 0)));        // names no operation
  v1::OperationReply fault = ReplyTo(*stream, 5);
  ASSERT_TRUE(fault.has_fault());
  EXPECT_THAT(fault.fault().message(), HasSubstr("names no operation"));

  // Repeated call ids are each answered; the session goes on.
  ASSERT_TRUE(stream->Write(Call(1, 1)));
  ASSERT_TRUE(stream->Write(Call(1, 2)));
  EXPECT_FALSE(ReplyTo(*stream, 1).has_fault());
  EXPECT_FALSE(ReplyTo(*stream, 1).has_fault());
  EXPECT_EQ(service_->pings, 1);

  // A callback answered twice: the first answer stands.
  auto callback = service_->WaitForSubscriber(1);
  auto asked = std::async(std::launch::async, [&] { return callback->RequestShutdown(); });
  v1::ServerMessage message;
  ASSERT_TRUE(stream->Read(&message));
  ASSERT_TRUE(message.has_callback());
  ASSERT_TRUE(stream->Write(Answer(message.callback().id() + 1, true)));
  ASSERT_TRUE(stream->Write(Answer(message.callback().id(), false)));
  ASSERT_TRUE(stream->Write(Answer(message.callback().id(), true)));
  EXPECT_FALSE(asked.get());

  stream->WritesDone();
  EXPECT_TRUE(stream->Finish().ok());
}

TEST_F(HostilePeerHostTest, MessageNamingNothingEndsOnlyItsSession) {
  grpc::ClientContext otherContext;
  auto other = Open(otherContext);
  ASSERT_TRUE(other->Write(Call(1, 2)));
  EXPECT_FALSE(ReplyTo(*other, 1).has_fault());

  grpc::ClientContext context;
  auto stream = Open(context);
  ASSERT_TRUE(stream->Write(v1::ClientMessage()));
  v1::ServerMessage ignored;
  while (stream->Read(&ignored)) {
  }
  grpc::Status status = stream->Finish();
  EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  EXPECT_THAT(status.error_message(), HasSubstr("neither a call nor a callback reply"));

  ASSERT_TRUE(other->Write(Call(2, 2)));
  EXPECT_FALSE(ReplyTo(*other, 2).has_fault());
  other->WritesDone();
  EXPECT_TRUE(other->Finish().ok());
}

// A server that answers a session's calls with a script, then properly, and
// records the callback replies it receives.
class ScriptedServer final : public v1::Shutdown::Service {
 public:
  explicit ScriptedServer(std::vector<v1::ServerMessage> script) : script_(std::move(script)) {}

  grpc::Status Session(
      grpc::ServerContext*,
      grpc::ServerReaderWriter<v1::ServerMessage, v1::ClientMessage>* stream) override {
    v1::ClientMessage in;
    while (stream->Read(&in)) {
      if (in.has_call()) {
        for (v1::ServerMessage message : script_) {
          if (message.has_reply() && message.reply().id() == 0) {
            message.mutable_reply()->set_id(in.call().id());  // 0 stands for "this call"
          }
          stream->Write(message);
        }
        v1::ServerMessage reply;
        reply.mutable_reply()->set_id(in.call().id());
        stream->Write(reply);
      } else if (in.has_callback_reply()) {
        std::lock_guard lock(mu_);
        answers_.push_back(in.callback_reply());
      }
    }
    return grpc::Status::OK;
  }

  std::vector<v1::CallbackReply> Answers() {
    std::lock_guard lock(mu_);
    return answers_;
  }

 private:
  const std::vector<v1::ServerMessage> script_;
  std::mutex mu_;
  std::vector<v1::CallbackReply> answers_;
};

class HostilePeerClientTest : public ::testing::Test {
 protected:
  void Serve(std::vector<v1::ServerMessage> script) {
    const std::string pipes = (dir_.Path() / "pipes").string();
    ASSERT_EQ(::mkdir(pipes.c_str(), 0700), 0);
    server_ = std::make_unique<ScriptedServer>(std::move(script));
    grpc::ServerBuilder builder;
    builder.AddListeningPort("unix:" + pipes + "/" + std::to_string(kPid) + ".Scripted.sock",
                             grpc::InsecureServerCredentials());
    builder.RegisterService(server_.get());
    grpc_ = builder.BuildAndStart();
    ASSERT_NE(grpc_, nullptr);
  }
  ~HostilePeerClientTest() override {
    if (grpc_) grpc_->Shutdown(std::chrono::system_clock::now() + std::chrono::seconds(2));
  }

  static v1::ServerMessage Reply(std::uint64_t id, const char* fault) {
    v1::ServerMessage message;
    message.mutable_reply()->set_id(id);
    if (fault != nullptr) message.mutable_reply()->mutable_fault()->set_message(fault);
    return message;
  }

  PrivatePipeDir dir_;
  std::unique_ptr<ScriptedServer> server_;
  std::unique_ptr<grpc::Server> grpc_;
};

TEST_F(HostilePeerClientTest, FirstReplyToACallDecidesAndStrayRepliesAreIgnored) {
  Serve({Reply(12345, "not yours"), Reply(0, "the first answer"), Reply(0, nullptr),
         Reply(0, "a third answer"), v1::ServerMessage()});
  auto session = DuplexChannelFactory<IShutdown>::CreateChannel(
      std::make_shared<ScriptedCallback>(), kPid, "Scripted");
  for (int call = 0; call < 20; ++call) {
    try {
      session->Ping();
      FAIL() << "a later reply replaced the first answer, a fault";
    } catch (const FaultException& e) {
      EXPECT_EQ(e.Reason(), "the first answer");
      EXPECT_THAT(e.what(), HasSubstr("process 7170, endpoint Scripted, operation Ping"));
    }
  }
  EXPECT_TRUE(session->IsOpen());
}

TEST_F(HostilePeerClientTest, CallbacksNamingNoOperationAreAnsweredWithAFault) {
  v1::ServerMessage empty;
  empty.mutable_callback()->set_id(8);
  v1::ServerMessage request;
  request.mutable_callback()->set_id(9);
  request.mutable_callback()->mutable_request_shutdown();
  Serve({empty, request});
  auto callback = std::make_shared<ScriptedCallback>();
  auto session = DuplexChannelFactory<IShutdown>::CreateChannel(callback, kPid, "Scripted");
  session->Ping();
  ASSERT_TRUE(Norv::Testing::Eventually([&] { return server_->Answers().size() == 2; }));
  std::vector<v1::CallbackReply> answers = server_->Answers();
  EXPECT_EQ(answers[0].id(), 8u);
  EXPECT_THAT(answers[0].fault().message(), HasSubstr("names no operation"));
  EXPECT_EQ(answers[1].id(), 9u);
  EXPECT_TRUE(answers[1].accepted());
  EXPECT_FALSE(answers[1].has_fault());
  EXPECT_EQ(callback->requests, 1);
}

// Answers GetForecastLife with a reply that carries no date-time at all, as
// a peer that fills in no defaults may send it.
class DateLessDataService final : public v1::DataService::Service {
 public:
  grpc::Status GetForecastLife(grpc::ServerContext*, const v1::ForecastRequest*,
                               v1::DateTimeReply*) override {
    return grpc::Status::OK;
  }
};

TEST(HostileDataServiceTest, ADateTimeReplyWithoutItsValueFailsTheCall) {
  PrivatePipeDir dir;
  const std::string pipes = (dir.Path() / "pipes").string();
  ASSERT_EQ(::mkdir(pipes.c_str(), 0700), 0);
  DateLessDataService service;
  grpc::ServerBuilder builder;
  builder.AddListeningPort("unix:" + pipes + "/" + std::to_string(kPid) + ".DateLess.sock",
                           grpc::InsecureServerCredentials());
  builder.RegisterService(&service);
  std::unique_ptr<grpc::Server> server = builder.BuildAndStart();
  ASSERT_NE(server, nullptr);

  auto channel = NamedPipeServiceHost::GetSingleChannel<IDataService>(kPid, "DateLess");
  try {
    channel->GetForecastLife(u"p", u"u", u"w", 1, u"t", u"a");
    ADD_FAILURE() << "a reply without a date-time was answered as a date";
  } catch (const CommunicationException& e) {
    EXPECT_THAT(e.what(), HasSubstr("process 7170, endpoint DateLess, operation GetForecastLife"));
    EXPECT_THAT(e.what(), HasSubstr("no date-time value"));
  }
  server->Shutdown(std::chrono::system_clock::now() + std::chrono::seconds(2));
}

}  // namespace
}  // namespace Norv::ServiceModel
