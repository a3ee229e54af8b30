// A hostile peer on a live duplex session. The process opens a real host of
// IShutdown and a scripted server of the same contract once; each input then
// plays one side of a session against the project's own session code:
//
//  - host side: a raw gRPC stream writes the input's ClientMessages (calls
//    with any id, operation or key; callback replies with unknown, duplicate
//    or missing ids; messages naming nothing) into a session of the real
//    host, whose service calls back into the session; the driver answers the
//    host's callbacks, then sends a well-formed Ping that must be answered.
//  - client side: a real duplex client calls Ping while the scripted server
//    answers with the input's ServerMessages (replies with any id, duplicate
//    replies, faults, callbacks with or without an operation) before the
//    proper reply.
//
// Input: byte 0 picks the side (bit 0) and how the host side answers
// callbacks (bit 1: a reply with a wrong id first, bit 2: a duplicate reply
// after); the rest is frames of a 2-byte little-endian length and a message.
// Frames that are not a message are skipped: raw bytes only exercise gRPC.
//
// Checks: the host answers every call exactly once, with a fault only for a
// call naming no operation, and keeps answering a well-formed Ping; a session
// ended for a message naming nothing ends with INVALID_ARGUMENT and the host
// then answers a new session; errors name their place; the client's Ping
// ends as the first reply carrying its id says, and its callback replies
// match the callbacks they answer.
#include <sys/stat.h>
#include <unistd.h>

#include <grpcpp/grpcpp.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <google/protobuf/stubs/logging.h>

#include "fuzz/FuzzSupport.h"
#include "norv/contracts/v1/shutdown.grpc.pb.h"
#include "services/NamedPipeServiceHost.h"

namespace {

namespace v1 = norv::contracts::v1;
using Norv::Fuzz::Check;
using Norv::Fuzz::Fail;
using Norv::ServiceModel::CommunicationException;
using Norv::ServiceModel::DuplexChannelFactory;
using Norv::ServiceModel::FaultException;
using Norv::ServiceModel::NamedPipeServiceHost;
using Norv::ServiceModel::OperationContext;
using Norv::ServiceModel::Contracts::Service::IShutdown;
using Norv::ServiceModel::Contracts::Service::IShutdownCallback;

constexpr std::int32_t kPid = 4242;
constexpr const char* kHostEndpoint = "FuzzHost";
constexpr const char* kScriptEndpoint = "FuzzClient";
constexpr std::size_t kMaxFrames = 64;
constexpr auto kAnswerDeadline = std::chrono::seconds(30);

template <class Message>
std::vector<Message> Frames(const std::uint8_t* data, std::size_t size) {
  std::vector<Message> frames;
  while (size >= 2 && frames.size() < kMaxFrames) {
    std::size_t length = std::min<std::size_t>(data[0] | (data[1] << 8), size - 2);
    Message message;
    if (message.ParseFromArray(data + 2, static_cast<int>(length))) {
      frames.push_back(std::move(message));
    }
    data += 2 + length;
    size -= 2 + length;
  }
  return frames;
}

void CheckNamesItsPlace(const std::exception& e, const std::string& site) {
  Check(std::string(e.what()).find(site) != std::string::npos,
        std::string("an error does not name its place: ") + e.what());
}

// ---------------------------------------------------------------------------
// Host side.

// Key & 3 picks what Subscribe does: nothing, ask the client to shut down,
// force it, or look at its own callback channel.
class FuzzShutdown final : public IShutdown {
 public:
  void Subscribe(std::int32_t key) override {
    OperationContext* context = OperationContext::Current();
    Check(context != nullptr, "a session operation runs without an operation context");
    std::shared_ptr<IShutdownCallback> channel = context->GetCallbackChannel<IShutdownCallback>();
    Check(channel != nullptr, "a session operation has no callback channel");
    const std::string site =
        "process " + std::to_string(kPid) + ", endpoint " + kHostEndpoint + ", callback ";
    try {
      switch (key & 3) {
        case 1:
          channel->RequestShutdown();
          break;
        case 2:
          channel->ForceShutdown();
          break;
        case 3:
          NamedPipeServiceHost::IsConnected(channel);
          break;
        default:
          break;
      }
    } catch (const CommunicationException& e) {
      // The peer's own fault, or its session ended while we waited.
      CheckNamesItsPlace(e, site);
    }
  }
  void Unsubscribe(std::int32_t) override {}
  void Ping() override {}
};

struct HostSide {
  std::shared_ptr<FuzzShutdown> service = std::make_shared<FuzzShutdown>();
  std::unique_ptr<NamedPipeServiceHost> host;
  std::shared_ptr<grpc::Channel> channel;
  std::unique_ptr<v1::Shutdown::Stub> stub;
};

HostSide* gHost = nullptr;

using Stream = grpc::ClientReaderWriter<v1::ClientMessage, v1::ServerMessage>;

v1::ClientMessage PingCall(std::uint64_t id) {
  v1::ClientMessage ping;
  ping.mutable_call()->set_id(id);
  ping.mutable_call()->mutable_ping();
  return ping;
}

v1::ClientMessage CallbackAnswer(std::uint64_t id) {
  v1::ClientMessage answer;
  answer.mutable_callback_reply()->set_id(id);
  answer.mutable_callback_reply()->set_accepted(true);
  return answer;
}

// Ends the stream from our side and returns its status.
grpc::Status Finish(Stream& stream) {
  stream.WritesDone();
  v1::ServerMessage ignored;
  while (stream.Read(&ignored)) {
  }
  return stream.Finish();
}

// A fresh session must answer a well-formed Ping.
void CheckHostAnswers() {
  grpc::ClientContext context;
  context.set_deadline(std::chrono::system_clock::now() + kAnswerDeadline);
  auto stream = gHost->stub->Session(&context);
  Check(stream->Write(PingCall(7)), "the host refused a new session");
  v1::ServerMessage message;
  Check(stream->Read(&message), "the host stopped answering a new session");
  Check(message.has_reply() && message.reply().id() == 7 && !message.reply().has_fault(),
        "the host answered a Ping on a new session wrongly");
  Check(Finish(*stream).ok(), "a clean session did not end cleanly");
}

void RunHostSide(std::uint8_t flags, const std::uint8_t* data, std::size_t size) {
  const std::vector<v1::ClientMessage> frames = Frames<v1::ClientMessage>(data, size);
  std::multiset<std::uint64_t> calls;
  std::multiset<std::uint64_t> faulting;
  bool namesNothing = false;
  for (const auto& frame : frames) {
    if (frame.has_call()) {
      calls.insert(frame.call().id());
      if (frame.call().operation_case() == v1::OperationCall::OPERATION_NOT_SET) {
        faulting.insert(frame.call().id());
      }
    } else if (!frame.has_callback_reply()) {
      namesNothing = true;
      break;  // the host ends the session here; what follows may or may not be read
    }
  }
  std::uint64_t pingId = ~std::uint64_t{0};
  while (calls.count(pingId) != 0) --pingId;

  grpc::ClientContext context;
  context.set_deadline(std::chrono::system_clock::now() + kAnswerDeadline);
  auto stream = gHost->stub->Session(&context);
  bool open = true;
  for (const auto& frame : frames) {
    if (!(open = stream->Write(frame))) break;
  }
  if (open) open = stream->Write(PingCall(pingId));

  std::multiset<std::uint64_t> replies;
  std::multiset<std::uint64_t> faults;
  bool pinged = false;
  v1::ServerMessage message;
  while (!pinged && stream->Read(&message)) {
    if (message.has_reply()) {
      const v1::OperationReply& reply = message.reply();
      if (reply.id() == pingId) {
        Check(!reply.has_fault(), "the host answered a well-formed Ping with a fault");
        pinged = true;
        break;
      }
      replies.insert(reply.id());
      if (reply.has_fault()) {
        Check(!reply.fault().message().empty(), "a fault carries no text");
        faults.insert(reply.id());
      }
    } else if (message.has_callback()) {
      const std::uint64_t id = message.callback().id();
      if (flags & 2) stream->Write(CallbackAnswer(id + 1));  // nobody waits for it
      stream->Write(CallbackAnswer(id));
      if (flags & 4) stream->Write(CallbackAnswer(id));
    } else {
      Fail("the host sent a message naming nothing");
    }
  }
  const grpc::Status status = Finish(*stream);
  if (namesNothing) {
    Check(!pinged, "the host went on with a session after a message naming nothing");
    Check(status.error_code() == grpc::StatusCode::INVALID_ARGUMENT,
          "a session ended for a message naming nothing without INVALID_ARGUMENT: " +
              status.error_message());
    for (std::uint64_t id : replies) {
      Check(calls.count(id) != 0, "the host answered a call that was never made");
    }
    CheckHostAnswers();
  } else {
    Check(pinged, "the host did not answer a well-formed Ping: " + status.error_message());
    Check(replies == calls, "the host did not answer every call exactly once");
    Check(faults == faulting, "the host faulted other calls than those naming no operation");
    Check(status.ok(), "a session ended by its client did not end cleanly");
  }
}

// ---------------------------------------------------------------------------
// Client side.

struct Script {
  std::vector<v1::ServerMessage> messages;
};

// Answers a session's first call with the current script, then with the
// proper reply, and checks every callback reply that the client sends.
class ScriptedShutdown final : public v1::Shutdown::Service {
 public:
  void Set(std::vector<v1::ServerMessage> messages) {
    std::lock_guard lock(mu_);
    messages_ = std::move(messages);
  }

  grpc::Status Session(
      grpc::ServerContext*,
      grpc::ServerReaderWriter<v1::ServerMessage, v1::ClientMessage>* stream) override {
    std::vector<v1::ServerMessage> messages;
    {
      std::lock_guard lock(mu_);
      messages = messages_;
    }
    // The callbacks a reply may answer: id and whether it named an operation.
    std::multimap<std::uint64_t, bool> callbacks;
    for (const auto& message : messages) {
      if (message.has_callback()) {
        callbacks.emplace(message.callback().id(), message.callback().operation_case() !=
                                                       v1::CallbackCall::OPERATION_NOT_SET);
      }
    }
    v1::ClientMessage in;
    bool answered = false;
    while (stream->Read(&in)) {
      if (in.has_call()) {
        Check(!answered, "the client made a second call in a session that made one");
        Check(in.call().has_ping(), "the client's call is not its Ping");
        answered = true;
        for (const auto& message : messages) {
          if (!stream->Write(message)) return grpc::Status::OK;
        }
        v1::ServerMessage reply;
        reply.mutable_reply()->set_id(in.call().id());
        stream->Write(reply);
      } else if (in.has_callback_reply()) {
        const v1::CallbackReply& reply = in.callback_reply();
        auto [first, last] = callbacks.equal_range(reply.id());
        auto match = std::find_if(first, last, [&](const auto& callback) {
          // A callback naming no operation is answered with a fault.
          return callback.second != reply.has_fault();
        });
        Check(match != last, "the client answered a callback it was never sent, or wrongly");
        callbacks.erase(match);
      } else {
        Fail("the client sent a message naming nothing");
      }
    }
    return grpc::Status::OK;
  }

 private:
  std::mutex mu_;
  std::vector<v1::ServerMessage> messages_;
};

class QuietCallback final : public IShutdownCallback {
 public:
  bool RequestShutdown() override { return true; }
  void ForceShutdown() override {}
};

struct ClientSide {
  ScriptedShutdown service;
  std::unique_ptr<grpc::Server> server;
};

ClientSide* gClient = nullptr;

void RunClientSide(const std::uint8_t* data, std::size_t size) {
  std::vector<v1::ServerMessage> messages = Frames<v1::ServerMessage>(data, size);
  // A new session's first call has id 1: the first reply carrying it decides.
  std::optional<v1::OperationReply> decisive;
  for (const auto& message : messages) {
    if (message.has_reply() && message.reply().id() == 1) {
      decisive = message.reply();
      break;
    }
  }
  gClient->service.Set(std::move(messages));

  auto session = DuplexChannelFactory<IShutdown>::CreateChannel(std::make_shared<QuietCallback>(),
                                                                kPid, kScriptEndpoint);
  try {
    session->Ping();
    Check(!decisive || !decisive->has_fault(), "a faulting reply was taken for success");
  } catch (const FaultException& e) {
    Check(decisive && decisive->has_fault(), "the client raised a fault nobody sent");
    Check(e.Reason() == decisive->fault().message(), "the client reported another fault's text");
    CheckNamesItsPlace(e, "operation Ping");
  } catch (const CommunicationException& e) {
    Fail(std::string("a scripted session failed: ") + e.what());
  }
  session->Close();
}

void SetUp() {
  const std::string dir = (Norv::Fuzz::ScratchDirectory::Path() / "pipes").string();
  if (::mkdir(dir.c_str(), 0700) != 0) Fail("cannot make the endpoint directory " + dir);
  ::setenv("NORV_PIPE_DIR", dir.c_str(), 1);

  gHost = new HostSide;
  gHost->host = std::make_unique<NamedPipeServiceHost>(gHost->service, kPid, kHostEndpoint);
  gHost->host->AddServiceEndpoint(Norv::ServiceModel::TypeOf<IShutdown>());
  gHost->host->Open();
  const std::string hostSocket = dir + "/" + std::to_string(kPid) + "." + kHostEndpoint + ".sock";
  gHost->channel = grpc::CreateChannel("unix:" + hostSocket, grpc::InsecureChannelCredentials());
  gHost->stub = v1::Shutdown::NewStub(gHost->channel);

  gClient = new ClientSide;
  const std::string scriptSocket =
      dir + "/" + std::to_string(kPid) + "." + kScriptEndpoint + ".sock";
  grpc::ServerBuilder builder;
  builder.AddListeningPort("unix:" + scriptSocket, grpc::InsecureServerCredentials());
  builder.RegisterService(&gClient->service);
  gClient->server = builder.BuildAndStart();
  if (!gClient->server) Fail("cannot start the scripted server on " + scriptSocket);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  google::protobuf::SetLogHandler(nullptr);
  SetUp();
  // The host and the scripted server live until the process ends, like a
  // host that is never closed; gRPC's threads are still running at exit.
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t flags = data[0];
  if (flags & 1) {
    RunClientSide(data + 1, size - 1);
  } else {
    RunHostSide(flags, data + 1, size - 1);
  }
  return 0;
}
