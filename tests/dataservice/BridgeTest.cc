// The data-service members of MirnDataService against a scripted service
// hosted on a real socket: what travels (argument order, never the pid),
// which process is reached, and how answers come back (order, length, nulls,
// dates under the caller's culture, failures).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "norv/interop/MirnDataService.h"
#include "servers/dataservice/DataServiceHost.h"
#include "services/NamedPipeServiceHost.h"
#include "services/Text.h"
#include "tests/dataservice/ScriptedDataService.h"
#include "tests/support/Cancellation.h"
#include "tests/support/TestSupport.h"

namespace Norv::Testing {
namespace {

using Norv::MirnDataService::Interop::MirnDataService;
using ServiceModel::NamedPipeServiceHost;
using ServiceModel::Contracts::Data::DateTimeResultSet;
using ServiceModel::Contracts::Data::DoubleResultSet;
using ServiceModel::Contracts::Data::StringResultSet;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Distinct from every borehole id below, and from this process's id.
constexpr int kPid = 4100001;
constexpr int kOtherPid = 4100002;

ServiceString S(const char16_t* units) { return ServiceString(units); }

char* C(const char* text) { return const_cast<char*>(text); }

std::vector<ServiceString> Strings(std::initializer_list<const char16_t*> units) {
  std::vector<ServiceString> result;
  for (const char16_t* u : units) result.emplace_back(u);
  return result;
}

MATCHER_P2(Pair, key, value, "") { return arg.key == key && arg.value == value; }

// Makes the calling thread use `culture` until the end of the scope.
class ScopedCulture {
 public:
  explicit ScopedCulture(const char* culture) { Text::SetCurrentCulture(culture); }
  ~ScopedCulture() { Text::ResetCurrentCulture(); }
};

class BridgeTest : public ::testing::Test {
 protected:
  std::shared_ptr<ScriptedDataService> Serve(int pid) {
    auto service = std::make_shared<ScriptedDataService>();
    hosts_.push_back(Servers::NewDataServiceHost(service, pid));
    hosts_.back()->Open();
    return service;
  }

  ~BridgeTest() override {
    for (auto& host : hosts_) host->Close();
  }

  PrivatePipeDir pipes_;
  std::vector<std::unique_ptr<NamedPipeServiceHost>> hosts_;
};

TEST_F(BridgeTest, SendsTheArgumentsInOrderAndNeverThePid) {
  auto service = Serve(kPid);
  char* p = C("proj");
  char* u = C("user");
  char* w = C("pw");
  MirnDataService::IsProjectAdmin(p, u, w, kPid);
  MirnDataService::IsUserRestricted(p, u, w, kPid);
  MirnDataService::IsDatabaseCanBeConnected(p, u, w, kPid);
  MirnDataService::GetAuthors(p, u, w, kPid);
  MirnDataService::GetForecastEUR(p, u, w, kPid, 42, C("tmpl"), C("auth"));
  MirnDataService::GetForecastReserve(p, u, w, kPid, -7, C("tmpl"), C("auth"));
  MirnDataService::GetForecastLife(p, u, w, kPid, 0, C("tmpl"), C("auth"));
  MirnDataService::GetForecastEURList(p, u, w, kPid, C("fc"), C("auth"));
  MirnDataService::GetForecastReserveList(p, u, w, kPid, C("fc"), C("auth"));
  MirnDataService::GetForecastLifeList(p, u, w, kPid, C("fc"), C("auth"));
  MirnDataService::GetBoreholeIdsWithForecast(p, u, w, kPid, C("tmpl"), C("auth"));
  MirnDataService::GetForecastTemplatesByAuthor(p, u, w, kPid, C("auth"));

  auto calls = service->Calls();
  ASSERT_EQ(calls.size(), 12u);
  const auto credentials = Strings({u"proj", u"user", u"pw"});
  const auto withTemplate = Strings({u"proj", u"user", u"pw", u"tmpl", u"auth"});
  const auto withForecast = Strings({u"proj", u"user", u"pw", u"fc", u"auth"});
  const std::vector<std::pair<std::string, std::vector<ServiceString>>> expected = {
      {"IsProjectAdmin", credentials},
      {"IsUserRestricted", credentials},
      {"IsDatabaseCanBeConnected", credentials},
      {"GetAuthors", credentials},
      {"GetForecastEUR", withTemplate},
      {"GetForecastReserve", withTemplate},
      {"GetForecastLife", withTemplate},
      {"GetForecastEURList", withForecast},
      {"GetForecastReserveList", withForecast},
      {"GetForecastLifeList", withForecast},
      {"GetBoreholeIdsWithForecast", withTemplate},
      {"GetForecastTemplatesByAuthor", Strings({u"proj", u"user", u"pw", u"auth"})},
  };
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(calls[i].operation, expected[i].first);
    EXPECT_EQ(calls[i].strings, expected[i].second) << calls[i].operation;
  }
  // The borehole id is the fourth argument on the wire; the pid is not sent.
  EXPECT_EQ(calls[4].boreholeId, 42);
  EXPECT_EQ(calls[5].boreholeId, -7);
  EXPECT_EQ(calls[6].boreholeId, 0);
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (i < 4 || i > 6) {
      EXPECT_FALSE(calls[i].boreholeId) << calls[i].operation;
    }
  }
}

TEST_F(BridgeTest, SendsNullAndNonAsciiArgumentsAsServiceStrings) {
  auto service = Serve(kPid);
  MirnDataService::GetForecastEUR(nullptr, C(""), C("caf\xE9"), kPid, 1, nullptr, C("A"));
  auto calls = service->Calls();
  ASSERT_EQ(calls.size(), 1u);
  // Null pointers arrive as empty strings, not null ones; bytes above 0x7F
  // are decoded by the ANSI code page (1252 here).
  for (std::size_t i : {0u, 1u, 3u}) {
    EXPECT_FALSE(calls[0].strings[i].IsNull()) << i;
    EXPECT_TRUE(calls[0].strings[i].Units().empty()) << i;
  }
  EXPECT_EQ(calls[0].strings[2], S(u"caf\u00E9"));
}

TEST_F(BridgeTest, ThePidOnlySelectsTheProcess) {
  auto first = Serve(kPid);
  auto second = Serve(kOtherPid);
  first->Script([](auto& a) { a.flag = true; });
  second->Script([](auto& a) { a.flag = false; });
  EXPECT_TRUE(MirnDataService::IsProjectAdmin(C("p"), C("u"), C("w"), kPid));
  EXPECT_FALSE(MirnDataService::IsProjectAdmin(C("p"), C("u"), C("w"), kOtherPid));
  EXPECT_FALSE(MirnDataService::IsProjectAdmin(C("p"), C("u"), C("w"), kOtherPid));
  EXPECT_EQ(first->Calls().size(), 1u);
  EXPECT_EQ(second->Calls().size(), 2u);
}

TEST_F(BridgeTest, ListsKeepTheServiceOrderAndLength) {
  auto service = Serve(kPid);
  service->Script([](auto& a) {
    a.authors = std::vector<ServiceString>{S(u"Ann"),      ServiceString::Null(), S(u"Bob"),
                                           S(u"Zo\u00EB"), S(u"\u20AC"),          S(u"Ann")};
    a.doubles->assign({DoubleResultSet(7, 1.5), DoubleResultSet(3, -2.25), DoubleResultSet(9, 0.0),
                       DoubleResultSet(7, 1.5)});
    a.boreholeIds = std::vector<std::int32_t>{4, 4, 2};
    a.templates->assign(
        {StringResultSet(5, S(u"Decline")), StringResultSet(2, {}), StringResultSet(5, S(u""))});
  });
  char* p = C("p");
  EXPECT_THAT(MirnDataService::GetAuthors(p, p, p, kPid),
              ElementsAre("Ann", "", "Bob", "Zo\xEB", "\xAC", "Ann"));
  EXPECT_THAT(MirnDataService::GetForecastEURList(p, p, p, kPid, p, p),
              ElementsAre(Pair(7, 1.5), Pair(3, -2.25), Pair(9, 0.0), Pair(7, 1.5)));
  EXPECT_THAT(MirnDataService::GetForecastReserveList(p, p, p, kPid, p, p),
              ElementsAre(Pair(7, 1.5), Pair(3, -2.25), Pair(9, 0.0), Pair(7, 1.5)));
  EXPECT_THAT(MirnDataService::GetBoreholeIdsWithForecast(p, p, p, kPid, p, p),
              ElementsAre(4, 4, 2));
  EXPECT_THAT(MirnDataService::GetForecastTemplatesByAuthor(p, p, p, kPid, p),
              ElementsAre(Pair(5, "Decline"), Pair(2, ""), Pair(5, "")));

  service->Script([](auto& a) { a = ScriptedDataService::Answers{}; });
  EXPECT_TRUE(MirnDataService::GetAuthors(p, p, p, kPid).empty());
  EXPECT_TRUE(MirnDataService::GetForecastEURList(p, p, p, kPid, p, p).empty());
  EXPECT_TRUE(MirnDataService::GetForecastLifeList(p, p, p, kPid, p, p).empty());
  EXPECT_TRUE(MirnDataService::GetBoreholeIdsWithForecast(p, p, p, kPid, p, p).empty());
  EXPECT_TRUE(MirnDataService::GetForecastTemplatesByAuthor(p, p, p, kPid, p).empty());
}

TEST_F(BridgeTest, ANullCollectionOrANullRecordRaises) {
  auto service = Serve(kPid);
  char* p = C("p");
  auto what = [](const std::function<void()>& call) -> std::string {
    try {
      call();
    } catch (const std::exception& e) {
      return e.what();
    }
    return "(returned)";
  };
  service->Script([](auto& a) {
    a.authors.reset();
    a.doubles.reset();
    a.lives.reset();
    a.boreholeIds.reset();
    a.templates.reset();
  });
  EXPECT_THAT(what([&] { MirnDataService::GetAuthors(p, p, p, kPid); }), HasSubstr("GetAuthors"));
  EXPECT_THAT(what([&] { MirnDataService::GetForecastEURList(p, p, p, kPid, p, p); }),
              HasSubstr("GetForecastEURList"));
  EXPECT_THAT(what([&] { MirnDataService::GetForecastReserveList(p, p, p, kPid, p, p); }),
              HasSubstr("GetForecastReserveList"));
  EXPECT_THAT(what([&] { MirnDataService::GetForecastLifeList(p, p, p, kPid, p, p); }),
              HasSubstr("GetForecastLifeList"));
  EXPECT_THAT(what([&] { MirnDataService::GetBoreholeIdsWithForecast(p, p, p, kPid, p, p); }),
              HasSubstr("GetBoreholeIdsWithForecast"));
  EXPECT_THAT(what([&] { MirnDataService::GetForecastTemplatesByAuthor(p, p, p, kPid, p); }),
              HasSubstr("GetForecastTemplatesByAuthor"));

  // A null record is neither skipped nor turned into an empty pair.
  service->Script([](auto& a) {
    a = ScriptedDataService::Answers{};
    a.doubles->assign({DoubleResultSet(1, 1.0), std::nullopt, DoubleResultSet(3, 3.0)});
    a.lives->assign({DateTimeResultSet(1, DateTime{2011, 3, 7}), std::nullopt});
    a.templates->assign({StringResultSet(1, S(u"T")), std::nullopt});
  });
  EXPECT_THAT(what([&] { MirnDataService::GetForecastEURList(p, p, p, kPid, p, p); }),
              HasSubstr("position 1"));
  EXPECT_THAT(what([&] { MirnDataService::GetForecastReserveList(p, p, p, kPid, p, p); }),
              HasSubstr("position 1"));
  EXPECT_THAT(what([&] { MirnDataService::GetForecastLifeList(p, p, p, kPid, p, p); }),
              HasSubstr("position 1"));
  EXPECT_THAT(what([&] { MirnDataService::GetForecastTemplatesByAuthor(p, p, p, kPid, p); }),
              HasSubstr("position 1"));
}

TEST_F(BridgeTest, LongListsPassOnlyWhereTheHostRaisedItsItemLimit) {
  constexpr int kRecords = 100'000;  // beyond the default of 65536 items a message
  auto raised = Serve(kPid);
  auto plain = std::make_shared<ScriptedDataService>();
  hosts_.push_back(std::make_unique<NamedPipeServiceHost>(
      plain, kOtherPid,
      std::string(ServiceModel::Contracts::Service::IDataService::kContractName)));
  hosts_.back()->AddServiceEndpoint(
      ServiceModel::TypeOf<ServiceModel::Contracts::Service::IDataService>());
  hosts_.back()->Open();
  for (const auto& service : {raised, plain}) {
    service->Script([](auto& a) {
      for (int i = 0; i < kRecords; ++i) a.doubles->emplace_back(DoubleResultSet(kRecords - i, i));
    });
  }
  char* p = C("p");
  auto pairs = MirnDataService::GetForecastEURList(p, p, p, kPid, p, p);
  ASSERT_EQ(pairs.size(), static_cast<std::size_t>(kRecords));
  EXPECT_THAT(pairs.front(), Pair(kRecords, 0.0));
  EXPECT_THAT(pairs.back(), Pair(1, kRecords - 1.0));
  EXPECT_THROW(MirnDataService::GetForecastEURList(p, p, p, kOtherPid, p, p), std::exception);
}

TEST_F(BridgeTest, DatesAreShortDatesOfTheCallersCulture) {
  auto service = Serve(kPid);
  service->Script([](auto& a) {
    a.life = DateTime{2011, 3, 7, 14, 30};
    a.lives->assign({DateTimeResultSet(12, DateTime{2012, 1, 1}),
                     DateTimeResultSet(5, DateTime{2010, 12, 31, 23, 59, 59})});
  });
  char* p = C("p");
  {
    ScopedCulture culture("en-US");
    EXPECT_EQ(MirnDataService::GetForecastLife(p, p, p, kPid, 1, p, p), "3/7/2011");
    EXPECT_THAT(MirnDataService::GetForecastLifeList(p, p, p, kPid, p, p),
                ElementsAre(Pair(12, "1/1/2012"), Pair(5, "12/31/2010")));
  }
  {
    ScopedCulture culture("de-DE");
    EXPECT_EQ(MirnDataService::GetForecastLife(p, p, p, kPid, 1, p, p), "07.03.2011");
    EXPECT_THAT(MirnDataService::GetForecastLifeList(p, p, p, kPid, p, p),
                ElementsAre(Pair(12, "01.01.2012"), Pair(5, "31.12.2010")));
  }
}

TEST_F(BridgeTest, SingleValuesComeBackUnchanged) {
  auto service = Serve(kPid);
  service->Script([](auto& a) {
    a.value = -1234.0625;
    a.flag = true;
  });
  char* p = C("p");
  EXPECT_EQ(MirnDataService::GetForecastEUR(p, p, p, kPid, 1, p, p), -1234.0625);
  EXPECT_EQ(MirnDataService::GetForecastReserve(p, p, p, kPid, 1, p, p), -1234.0625);
  EXPECT_TRUE(MirnDataService::IsUserRestricted(p, p, p, kPid));
  EXPECT_TRUE(MirnDataService::IsDatabaseCanBeConnected(p, p, p, kPid));
}

TEST_F(BridgeTest, LogOnReachesTheCurrentProcessAndSwallowsEveryFailure) {
  // Nobody listens for this process yet.
  MirnDataService::LogOn(C("p"), C("u"), C("w"), C("a"));

  auto elsewhere = Serve(kPid);
  auto own = Serve(static_cast<int>(::getpid()));
  MirnDataService::LogOn(C("proj"), nullptr, C("pw"), C("auth"));
  auto calls = own->Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].operation, "LogOn");
  EXPECT_EQ(calls[0].strings, Strings({u"proj", u"", u"pw", u"auth"}));
  EXPECT_TRUE(elsewhere->Calls().empty());

  own->Script([](auto& a) { a.fault = "wrong password"; });
  MirnDataService::LogOn(C("proj"), C("u"), C("bad"), C("auth"));
  EXPECT_EQ(own->Calls().size(), 2u);  // the fault happened and was swallowed
}

// A host cancels a thread that is blocked in LogOn on a service that does
// not answer. The cancellation must unwind the thread, not end the process:
// swallowing it aborts ("exception not rethrown"). Run in a child process so
// that an abort fails this test alone.
TEST_F(BridgeTest, LogOnLetsTheHostCancelAThreadBlockedInTheCall) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        auto gate = std::make_shared<CallGate>();
        auto own = Serve(static_cast<int>(::getpid()));
        own->Script(
            [gate](auto& a) { a.beforeAnswer = [gate](const std::string&) { gate->Hold(); }; });
        ::_exit(CancelWhileBlocked(
            [] { MirnDataService::LogOn(C("proj"), C("ann"), C("pw"), C("auth")); }, *gate));
      },
      ::testing::ExitedWithCode(0), "");
}

// A date outside the calendar travels from a real service and is refused by
// the decoder, naming the operation and the field; a list with one such
// record fails whole.
TEST_F(BridgeTest, DatesOutsideTheCalendarFailTheCall) {
  auto service = Serve(kPid);
  char* p = C("p");
  for (const DateTime& bad : {DateTime{2011, 13, 0}, DateTime{0, 1, 1}, DateTime{10000, 1, 1},
                              DateTime{2011, 2, 30}, DateTime{2011, 3, 7, 25, 0, 0, 0}}) {
    service->Script([&](auto& a) {
      a.life = bad;
      a.lives = std::vector<std::optional<DateTimeResultSet>>{
          DateTimeResultSet(1, DateTime{2011, 3, 7}), DateTimeResultSet(2, bad)};
    });
    try {
      MirnDataService::GetForecastLife(p, p, p, kPid, 1, p, p);
      ADD_FAILURE() << "a malformed date was answered";
    } catch (const ServiceModel::CommunicationException& e) {
      EXPECT_THAT(e.what(), HasSubstr("GetForecastLife"));
      EXPECT_THAT(e.what(), HasSubstr("outside"));
    }
    try {
      MirnDataService::GetForecastLifeList(p, p, p, kPid, p, p);
      ADD_FAILURE() << "a list with a malformed date was answered";
    } catch (const ServiceModel::CommunicationException& e) {
      EXPECT_THAT(e.what(), HasSubstr("GetForecastLifeList"));
      EXPECT_THAT(e.what(), HasSubstr("record 1"));
    }
  }
}

TEST_F(BridgeTest, TheOtherMembersRaise) {
  char* p = C("p");
  // No channel: an exception, not a false answer.
  EXPECT_THROW(MirnDataService::IsProjectAdmin(p, p, p, kPid), std::exception);
  EXPECT_THROW(MirnDataService::GetAuthors(p, p, p, kPid), std::exception);
  EXPECT_THROW(MirnDataService::GetForecastEUR(p, p, p, kPid, 1, p, p), std::exception);

  auto service = Serve(kPid);
  service->Script([](auto& a) { a.fault = "project \"p\" has no user \"p\""; });
  try {
    MirnDataService::IsProjectAdmin(p, p, p, kPid);
    ADD_FAILURE() << "a fault was answered as a value";
  } catch (const std::exception& e) {
    EXPECT_THAT(e.what(), HasSubstr("has no user"));
  }
  EXPECT_THROW(MirnDataService::GetForecastLifeList(p, p, p, kPid, p, p), std::exception);
}

}  // namespace
}  // namespace Norv::Testing
