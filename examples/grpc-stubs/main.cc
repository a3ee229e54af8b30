// Plain gRPC on the contracts, in the same process as the bridge.
//
//   norv-grpc-stubs-example
//
// serves the data service contract of its own process with the generated
// gRPC service class of <norv/contracts/v1/data_service.grpc.pb.h>, following
// the endpoint rules of norv-interop(7): the socket and lock file in the
// endpoint directory, the lock taken with flock before the socket is bound.
// Then it calls that service twice from the same process: through the
// bridge (MirnDataService::GetAuthors, which goes through libnorv-platform.so)
// and through the generated stub. Both use the one copy of the generated
// code in libnorv-contracts.so; a program that compiled its own copy of the
// contracts instead would abort at start, as soon as the bridge loads.
//
// Build: find_package(NorvInterop) and link NorvInterop::norv_interop and
// NorvInterop::norv_contracts (or pkg-config norv-interop norv-contracts).
#include <norv/contracts/v1/data_service.grpc.pb.h>
#include <norv/interop.h>

#include <grpcpp/grpcpp.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace v1 = norv::contracts::v1;
using Norv::MirnDataService::Interop::MirnDataService;

namespace {

// The endpoint directory: $NORV_PIPE_DIR, $XDG_RUNTIME_DIR/norv, or
// /tmp/norv-<uid>; created with mode 0700 when missing, and refused unless it
// is a real directory of this user with mode 0700.
std::string EndpointDirectory() {
  std::string dir;
  if (const char* pipeDir = std::getenv("NORV_PIPE_DIR"); pipeDir && *pipeDir) {
    dir = pipeDir;
  } else if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    dir = std::string(runtime) + "/norv";
  } else {
    dir = "/tmp/norv-" + std::to_string(::geteuid());
  }
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    throw std::runtime_error("cannot create " + dir + ": " + std::strerror(errno));
  }
  struct stat info {};
  if (::lstat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
      (info.st_mode & 07777) != 0700) {
    throw std::runtime_error(dir + " is not a private directory of this user (mode 0700)");
  }
  return dir;
}

// Holds the endpoint's lock while the server listens: without it, a Norv
// host opening the same endpoint could take the socket away, or be taken
// from. Removes the socket, then the lock file, while still locked.
class EndpointLock {
 public:
  EndpointLock(const std::string& dir, int pid, const std::string& name)
      : socket_(dir + "/" + std::to_string(pid) + "." + name + ".sock"),
        lockFile_(dir + "/" + std::to_string(pid) + "." + name + ".lock") {
    for (;;) {
      fd_ = ::open(lockFile_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (fd_ < 0)
        throw std::runtime_error("cannot open " + lockFile_ + ": " + std::strerror(errno));
      if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd_);
        throw std::runtime_error("another live host serves " + socket_);
      }
      // The file locked must still be the one at the path: a host that was
      // closing may have removed it meanwhile.
      struct stat locked {
      }, current{};
      if (::fstat(fd_, &locked) == 0 && ::lstat(lockFile_.c_str(), &current) == 0 &&
          locked.st_dev == current.st_dev && locked.st_ino == current.st_ino) {
        break;
      }
      ::close(fd_);
    }
    ::unlink(socket_.c_str());  // left by a host that died: the lock was free
  }
  ~EndpointLock() {
    ::unlink(socket_.c_str());
    ::unlink(lockFile_.c_str());
    ::close(fd_);
  }
  EndpointLock(const EndpointLock&) = delete;
  EndpointLock& operator=(const EndpointLock&) = delete;

  // gRPC percent-decodes a unix: target, so each '%' of the path is "%25".
  std::string Target() const {
    std::string target = "unix:";
    for (char c : socket_) target += c == '%' ? std::string("%25") : std::string(1, c);
    return target;
  }

 private:
  std::string socket_;
  std::string lockFile_;
  int fd_ = -1;
};

// A data service of project "north", by the conventions of
// data_service.proto: a null string is an absent optional field, a fault is
// the status UNKNOWN with the fault's text.
class DataService final : public v1::DataService::Service {
 public:
  grpc::Status IsProjectAdmin(grpc::ServerContext*, const v1::CredentialsRequest* request,
                              v1::BoolReply* reply) override {
    if (!request->has_project_path() || request->project_path() != "north") {
      return {grpc::StatusCode::UNKNOWN, "project " + request->project_path() + " is unknown"};
    }
    reply->set_value(request->user_name() == "admin");
    return grpc::Status::OK;
  }
  grpc::Status GetAuthors(grpc::ServerContext*, const v1::CredentialsRequest*,
                          v1::StringListReply* reply) override {
    // A present value is a collection (absent would be null); the second
    // author's name is null: its flag is set and its row holds "".
    v1::StringList* authors = reply->mutable_value();
    for (const char* name : {"Amara Okafor", "", "Jon Berg"}) authors->add_values(name);
    for (bool null : {false, true, false}) authors->add_nulls(null);
    return grpc::Status::OK;
  }
};

int Run() {
  const int pid = static_cast<int>(::getpid());
  const std::string endpoint = "Norv.ServiceModel.Contracts.Service.IDataService";
  EndpointLock lock(EndpointDirectory(), pid, endpoint);
  DataService service;
  grpc::ServerBuilder builder;
  builder.AddListeningPort(lock.Target(), grpc::InsecureServerCredentials());
  builder.RegisterService(&service);
  std::unique_ptr<grpc::Server> server = builder.BuildAndStart();
  if (!server) throw std::runtime_error("cannot listen on " + lock.Target());
  std::printf("serving: process %d, endpoint %s\n", pid, endpoint.c_str());

  // Through the bridge, as a host application calls it.
  std::string project = "north", user = "admin", password = "secret";
  std::vector<std::string> authors =
      MirnDataService::GetAuthors(project.data(), user.data(), password.data(), pid);
  std::printf("bridge: %zu authors:", authors.size());
  for (const std::string& author : authors) std::printf(" [%s]", author.c_str());
  std::printf("\n");

  // Through the generated stub, as any gRPC client calls it.
  auto stub = v1::DataService::NewStub(
      grpc::CreateChannel(lock.Target(), grpc::InsecureChannelCredentials()));
  v1::CredentialsRequest request;
  request.set_project_path("south");
  v1::BoolReply reply;
  grpc::ClientContext context;
  grpc::Status status = stub->IsProjectAdmin(&context, request, &reply);
  std::printf("stub: IsProjectAdmin(south): status %d, fault \"%s\"\n",
              static_cast<int>(status.error_code()), status.error_message().c_str());

  server->Shutdown();
  const bool ok =
      authors.size() == 3 && authors[1].empty() && status.error_code() == grpc::StatusCode::UNKNOWN;
  std::printf(ok ? "grpc stubs example ok\n" : "grpc stubs example FAILED\n");
  return ok ? 0 : 1;
}

}  // namespace

int main() {
  try {
    return Run();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "norv-grpc-stubs-example: %s\n", error.what());
    return 1;
  }
}
