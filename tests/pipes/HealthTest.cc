// The standard health service of a host of unary contracts, asked the way
// any gRPC tool asks it (raw messages): its answers, and a Watch that a
// closing host ends instead of waiting for it.
#include <grpcpp/grpcpp.h>
#include <grpcpp/health_check_service_interface.h>
#include <grpcpp/impl/client_unary_call.h>
#include <grpcpp/support/sync_stream.h>

#include <future>
#include <string>

#include <gtest/gtest.h>

#include "platform/pipes/Addressing.h"
#include "platform/pipes/Runtime.h"
#include "tests/pipes/TestServices.h"
#include "tests/support/TestSupport.h"

namespace Norv::ServiceModel {
namespace {

using Norv::Testing::FakeDataService;
using Norv::Testing::IDataService;
using Norv::Testing::PrivatePipeDir;

constexpr std::int32_t kPid = 4343;
constexpr const char* kCheck = "/grpc.health.v1.Health/Check";
constexpr const char* kWatch = "/grpc.health.v1.Health/Watch";

// HealthCheckRequest { string service = 1; }
std::string Request(const std::string& service) {
  if (service.empty()) return "";
  return std::string{'\x0a', static_cast<char>(service.size())} + service;
}

// HealthCheckResponse { ServingStatus status = 1; }: SERVING 1, NOT_SERVING
// 2, SERVICE_UNKNOWN 3.
std::string Response(char status) { return std::string{'\x08', status}; }

class HealthTest : public ::testing::Test {
 protected:
  HealthTest()
      : host_(std::make_unique<NamedPipeServiceHost>(std::make_shared<FakeDataService>(), kPid,
                                                     "Data")) {
    host_->AddServiceEndpoint(TypeOf<IDataService>());
    host_->Open();
    channel_ =
        internal::NewChannel(internal::SocketPath(internal::EndpointDirectory(), kPid, "Data"));
  }

  grpc::Status Check(const std::string& request, std::string* reply) {
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(10));
    grpc::internal::RpcMethod method(kCheck, grpc::internal::RpcMethod::NORMAL_RPC);
    grpc::ByteBuffer buffer;
    grpc::Status status = grpc::internal::BlockingUnaryCall<grpc::ByteBuffer, grpc::ByteBuffer>(
        channel_.get(), method, &context, internal::Buffer(request), &buffer);
    *reply = internal::Bytes(buffer);
    return status;
  }

  PrivatePipeDir dir_;
  std::unique_ptr<NamedPipeServiceHost> host_;
  std::shared_ptr<grpc::Channel> channel_;
};

TEST_F(HealthTest, CheckAnswersForTheServerAndNoOtherName) {
  std::string reply;
  ASSERT_TRUE(Check(Request(""), &reply).ok());
  EXPECT_EQ(reply, Response(1));
  EXPECT_EQ(Check(Request("norv.contracts.v1.DataService"), &reply).error_code(),
            grpc::StatusCode::NOT_FOUND);
  EXPECT_EQ(Check(std::string{'\x0a', '\x05', 'x'}, &reply).error_code(),
            grpc::StatusCode::INVALID_ARGUMENT);
}

TEST_F(HealthTest, WatchSendsServingThenNotServingWhenTheHostCloses) {
  grpc::ClientContext context;
  context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(20));
  grpc::internal::RpcMethod method(kWatch, grpc::internal::RpcMethod::SERVER_STREAMING);
  std::unique_ptr<grpc::ClientReader<grpc::ByteBuffer>> watch(
      grpc::internal::ClientReaderFactory<grpc::ByteBuffer>::Create(
          channel_.get(), method, &context, internal::Buffer(Request(""))));
  grpc::ByteBuffer update;
  ASSERT_TRUE(watch->Read(&update));
  EXPECT_EQ(internal::Bytes(update), Response(1));

  // An unknown name is watched too, as SERVICE_UNKNOWN.
  grpc::ClientContext otherContext;
  otherContext.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(20));
  std::unique_ptr<grpc::ClientReader<grpc::ByteBuffer>> other(
      grpc::internal::ClientReaderFactory<grpc::ByteBuffer>::Create(
          channel_.get(), method, &otherContext, internal::Buffer(Request("other"))));
  ASSERT_TRUE(other->Read(&update));
  EXPECT_EQ(internal::Bytes(update), Response(3));

  // The watches must not hold up the close: it ends them.
  auto closed = std::async(std::launch::async, [this] { host_->Close(); });
  ASSERT_EQ(closed.wait_for(std::chrono::seconds(10)), std::future_status::ready)
      << "the host's close waited for its health watches";
  closed.get();
  // NOT_SERVING is sent, but the close may cut the connection before it
  // arrives; after it, nothing more.
  if (watch->Read(&update)) {
    EXPECT_EQ(internal::Bytes(update), Response(2));
    EXPECT_FALSE(watch->Read(&update));
  }
  watch->Finish();
  other->Finish();
}

// gRPC's switch for its own health service is process-wide: opening hosts,
// duplex ones among them (which use gRPC's), leaves it as the application
// set it, so that the application's own servers keep their setting.
TEST(HealthSwitch, OpeningHostsLeavesTheApplicationsSettingAlone) {
  PrivatePipeDir dir;
  for (bool applications : {false, true}) {
    grpc::EnableDefaultHealthCheckService(applications);
    NamedPipeServiceHost data(std::make_shared<FakeDataService>(), kPid, "Data");
    data.AddServiceEndpoint(TypeOf<IDataService>());
    data.Open();
    NamedPipeServiceHost shutdown(std::make_shared<Norv::Testing::RecordingShutdown>(), kPid,
                                  "Shutdown");
    shutdown.AddServiceEndpoint(TypeOf<Norv::Testing::IShutdown>());
    shutdown.Open();
    EXPECT_EQ(grpc::DefaultHealthCheckServiceEnabled(), applications);
    shutdown.Close();
    data.Close();
  }
  grpc::EnableDefaultHealthCheckService(false);
}

}  // namespace
}  // namespace Norv::ServiceModel
