// The data service's replies as a hostile service could send them: arbitrary
// bytes parsed as each reply message, decoded into service values as the
// client channel does, then converted into the bridge's native values as the
// data-service bridge does (dates in the short-date form of one of several
// cultures and calendars).
//
// Input: byte 0 chooses the reply message, byte 1 the culture, the rest is
// the message. Decoding may only raise MalformedMessage, and the conversion
// only std::invalid_argument (a null collection or record); decoded values
// must come back unchanged through the encoders.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <google/protobuf/stubs/logging.h>

#include "conversion/Conversion.h"
#include "fuzz/FuzzSupport.h"
#include "norv/contracts/v1/data_service.pb.h"
#include "platform/pipes/WireValues.h"
#include "services/Text.h"

namespace {

namespace v1 = norv::contracts::v1;
namespace wire = Norv::ServiceModel::internal;
using Norv::DateTime;
using Norv::ServiceString;
using Norv::Fuzz::Check;
using Norv::Interop::ConvertList;
using Norv::Interop::NativeString;
using Norv::Interop::RecordAt;

// The Gregorian, Buddhist (th-TH), Umm al-Qura (ar-SA) and Persian (fa-IR)
// calendars, and several short-date patterns.
constexpr const char* kCultures[] = {"en-US", "de-DE", "th-TH", "ar-SA", "fa-IR", "ja-JP", "he-IL"};

template <class Reply>
std::optional<Reply> Parse(const std::uint8_t* data, std::size_t size) {
  Reply reply;
  if (!reply.ParseFromArray(data, static_cast<int>(size))) return std::nullopt;
  return reply;
}

// Runs a conversion that may refuse a null collection or record.
template <class Fn>
void ConvertAllowingNulls(Fn convert) {
  try {
    convert();
  } catch (const std::invalid_argument& e) {
    Check(*e.what() != '\0', "a conversion error has no message");
  }
}

std::string NativeDate(const DateTime& date) {
  return NativeString(Norv::Interop::FormatShortDate(date));
}

bool SameBits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

void Strings(const v1::StringListReply& reply) {
  Norv::Collection<ServiceString> values;
  if (reply.has_value()) {
    values = wire::StringsFromWire(reply.value());
    Check(values->size() == static_cast<std::size_t>(reply.value().values_size()),
          "a decoded string list has another length than its message");
    v1::StringList encoded;
    wire::StringsToWire(*values, &encoded);
    Check(wire::StringsFromWire(encoded) == *values, "a string list changed when encoded again");
  }
  ConvertAllowingNulls([&] {
    ConvertList<std::string>(values, "GetAuthors",
                             [](const ServiceString& s, std::size_t) { return NativeString(s); });
  });
}

void Int32s(const v1::Int32ListReply& reply) {
  if (!reply.has_value()) return;
  const std::vector<std::int32_t> values = wire::Int32sFromWire(reply.value());
  v1::Int32List encoded;
  wire::Int32sToWire(values, &encoded);
  Check(wire::Int32sFromWire(encoded) == values, "an id list changed when encoded again");
}

void Doubles(const v1::DoubleResultSetListReply& reply) {
  Norv::ServiceModel::Contracts::Data::DoubleResultSetCollection values;
  if (reply.has_value()) {
    values = wire::DoubleResultsFromWire(reply.value());
    v1::DoubleResultSetList encoded;
    wire::DoubleResultsToWire(*values, &encoded);
    const auto again = wire::DoubleResultsFromWire(encoded);
    Check(again.size() == values->size(), "a double record list changed length when encoded");
    for (std::size_t i = 0; i < again.size(); ++i) {
      const auto& a = again[i];
      const auto& b = (*values)[i];
      Check(a.has_value() == b.has_value() &&
                (!a || (a->Id() == b->Id() && SameBits(a->Value(), b->Value()))),
            "a double record changed when encoded again");
    }
  }
  ConvertAllowingNulls([&] {
    Norv::MirnDataService::Interop::ConvertToNativeDoubleKeyValuePair(values, "GetForecastEURList");
  });
}

void StringRecords(const v1::StringResultSetListReply& reply) {
  Norv::ServiceModel::Contracts::Data::StringResultSetCollection values;
  if (reply.has_value()) {
    values = wire::StringResultsFromWire(reply.value());
    v1::StringResultSetList encoded;
    wire::StringResultsToWire(*values, &encoded);
    Check(wire::StringResultsFromWire(encoded) == *values,
          "a string record list changed when encoded again");
  }
  ConvertAllowingNulls([&] {
    Norv::MirnDataService::Interop::ConvertToNativeStringKeyValuePair(
        values, "GetForecastTemplatesByAuthor");
  });
}

void DateRecords(const v1::DateTimeResultSetListReply& reply) {
  Norv::ServiceModel::Contracts::Data::DateTimeResultSetCollection values;
  if (reply.has_value()) {
    values = wire::DateTimeResultsFromWire(reply.value());
    v1::DateTimeResultSetList encoded;
    wire::DateTimeResultsToWire(*values, &encoded);
    Check(wire::DateTimeResultsFromWire(encoded) == *values,
          "a date-time record list changed when encoded again");
  }
  ConvertAllowingNulls([&] {
    ConvertList<std::string>(values, "GetForecastLifeList", [](const auto& record, std::size_t i) {
      return NativeDate(RecordAt(record, "GetForecastLifeList", i).Value());
    });
  });
}

void Date(const v1::DateTimeReply& reply) {
  const DateTime date = wire::DateTimeFromWire(reply.value());
  v1::DateTime encoded;
  wire::DateTimeToWire(date, &encoded);
  Check(wire::DateTimeFromWire(encoded) == date, "a date-time changed when encoded again");
  const std::string text = NativeDate(date);
  Check(!text.empty(), "a date has an empty short-date form");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Protobuf logs every string field with invalid UTF-8 it refuses; a peer
  // sending one is an expected input here, not news.
  google::protobuf::SetLogHandler(nullptr);
  // An unknown culture must stop the run at once, not pass unnoticed.
  for (const char* culture : kCultures) Norv::Text::SetCurrentCulture(culture);
  Norv::Text::ResetCurrentCulture();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t kind = data[0];
  Norv::Text::SetCurrentCulture(kCultures[data[1] % std::size(kCultures)]);
  data += 2;
  size -= 2;
  try {
    switch (kind % 6) {
      case 0:
        if (auto reply = Parse<v1::StringListReply>(data, size)) Strings(*reply);
        break;
      case 1:
        if (auto reply = Parse<v1::Int32ListReply>(data, size)) Int32s(*reply);
        break;
      case 2:
        if (auto reply = Parse<v1::DoubleResultSetListReply>(data, size)) Doubles(*reply);
        break;
      case 3:
        if (auto reply = Parse<v1::StringResultSetListReply>(data, size)) StringRecords(*reply);
        break;
      case 4:
        if (auto reply = Parse<v1::DateTimeResultSetListReply>(data, size)) DateRecords(*reply);
        break;
      default:
        if (auto reply = Parse<v1::DateTimeReply>(data, size)) Date(*reply);
        break;
    }
  } catch (const wire::MalformedMessage& e) {
    Check(*e.what() != '\0', "a malformed-message error has no message");
  }
  return 0;
}
