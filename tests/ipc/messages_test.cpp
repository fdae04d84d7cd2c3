#include "ipc/messages.h"

#include <limits>
#include <string>

#include <gtest/gtest.h>

namespace kavel_lib::ipc {
namespace {

std::string encode(const IpcRequest& request) {
  auto bytes = serialize_ipc_request(request);
  EXPECT_TRUE(bytes.has_value()) << bytes.error().display();
  return bytes ? *bytes : std::string();
}

IpcRequest decode(std::string_view text) {
  auto request = deserialize_ipc_request(text);
  EXPECT_TRUE(request.has_value()) << text << " -> " << request.error().display();
  return request ? *request : IpcRequest{};
}

std::string request_error(std::string_view text) {
  auto request = deserialize_ipc_request(text);
  if (request) return "decoded as " + std::string(request->op_name());
  return request.error().display();
}

std::string response_error(std::string_view text) {
  auto response = ipc_response_deserialize(text);
  if (response) return "decoded";
  return response.error().display();
}

std::string status_error(std::string_view text) {
  auto status = deserialize_service_status_data(text);
  if (status) return "decoded";
  return status.error().display();
}

// ---- encoding -----------------------------------------------------------------------------

TEST(RequestEncoding, WritesTagFirstAndEveryFieldInDeclarationOrder) {
  EXPECT_EQ(encode(IpcRequest::Ping{}), R"({"op":"ping"})");
  EXPECT_EQ(encode(IpcRequest::Status{}), R"({"op":"status"})");
  EXPECT_EQ(encode(IpcRequest::OpenDevice{"\\\\.\\E:", 4242}), R"({"op":"open_device","path":"\\\\.\\E:","client_pid":4242})");
  EXPECT_EQ(encode(IpcRequest::ExportNtfsFrn{"E", 51234, "C:\\out\\a.doc"}),
            R"({"op":"export_ntfs_frn","letter":"E","frn":51234,"dest":"C:\\out\\a.doc"})");
  EXPECT_EQ(encode(IpcRequest::ExportFat32{"E", 1234, 5000, "C:\\out\\a.jpg"}),
            R"({"op":"export_fat32","letter":"E","cluster":1234,"size":5000,"dest":"C:\\out\\a.jpg"})");
  EXPECT_EQ(encode(IpcRequest::ExportExfat{"E", 77, 0, 5000, false, std::nullopt, "C:\\out\\b.txt"}),
            R"({"op":"export_exfat","letter":"E","cluster":77,"offset":0,"size":5000,"no_fat_chain":false,"filename":null,"dest":"C:\\out\\b.txt"})");
  EXPECT_EQ(encode(IpcRequest::IcatToFile{"ntfs", "\\\\.\\E:", "5-128-1", 0, "C:\\out\\c.bin", true, 0}),
            R"({"op":"icat_to_file","fs":"ntfs","device":"\\\\.\\E:","inode":"5-128-1","offset":0,"dest":"C:\\out\\c.bin","recover":true,"max_bytes":0})");
}

TEST(RequestEncoding, EscapesOnlyWhatJsonRequires) {
  const std::string text = std::string("q\"b\\ \b\t\n\f\r \x01\x1f\x7f /") + "\xC3\xA9\xE4\xB8\xAD";
  EXPECT_EQ(encode(IpcRequest::OpenDevice{text, 1}),
            "{\"op\":\"open_device\",\"path\":\"q\\\"b\\\\ \\b\\t\\n\\f\\r \\u0001\\u001f\x7f /\xC3\xA9\xE4\xB8\xAD\","
            "\"client_pid\":1}");
}

TEST(RequestEncoding, RefusesTextThatIsNotUtf8) {
  auto bytes = serialize_ipc_request(IpcRequest::OpenDevice{"a\xFF", 1});
  ASSERT_FALSE(bytes.has_value());
  EXPECT_EQ(bytes.error().display(), "invalid UTF-8 byte at index 1: 0xFF");
  // A lone continuation byte, a surrogate and a truncated sequence are refused too.
  EXPECT_FALSE(serialize_ipc_request(IpcRequest::OpenDevice{"\x80", 1}).has_value());
  EXPECT_FALSE(serialize_ipc_request(IpcRequest::OpenDevice{"\xED\xA0\x80", 1}).has_value());
  EXPECT_FALSE(serialize_ipc_request(IpcRequest::OpenDevice{"\xE4\xB8", 1}).has_value());
}

TEST(RequestEncoding, EveryRequestReadsBackAsItself) {
  const IpcRequest requests[] = {
      IpcRequest::Ping{},
      IpcRequest::Status{},
      IpcRequest::OpenDevice{"\\\\.\\PhysicalDrive0", std::numeric_limits<std::uint32_t>::max()},
      IpcRequest::ExportNtfsFrn{"E", std::numeric_limits<std::uint64_t>::max(), "C:\\o\\\"x\".bin"},
      IpcRequest::ExportFat32{"F", 2, 18446744073709551614ull, "D:\\x.bin"},
      IpcRequest::ExportExfat{"G", 4294967295u, 17, 9007199254740993ull, true, "r\xC3\xA9sum\xC3\xA9.doc", "D:\\y"},
      IpcRequest::ExportExfat{"G", 5, 0, 1, false, std::nullopt, "D:\\z"},
      IpcRequest::IcatToFile{"exfat", "\\\\.\\F:", "12", 2048, "D:\\c.bin", true, 1u << 20},
      IpcRequest::IcatToFile{"fat", "\\\\.\\F:", "3", 0, "D:\\c.bin", false, 0},
  };
  for (const auto& request : requests) {
    const std::string bytes = encode(request);
    EXPECT_EQ(decode(bytes), request) << bytes;
  }
}

// ---- object form --------------------------------------------------------------------------

TEST(RequestObjectForm, AcceptsTagAnywhereAndIgnoresUnknownKeys) {
  EXPECT_EQ(decode(R"({"op":"ping"})"), IpcRequest(IpcRequest::Ping{}));
  EXPECT_EQ(decode(R"({"x":1,"op":"ping"})"), IpcRequest(IpcRequest::Ping{}));
  EXPECT_EQ(decode(R"({"op":"status","extra":[1,2]})"), IpcRequest(IpcRequest::Status{}));
  EXPECT_EQ(decode(R"({"op":"export_fat32","cluster":5,"letter":"E","size":10,"dest":"D:\\x.bin","note":"a"})"),
            IpcRequest(IpcRequest::ExportFat32{"E", 5, 10, "D:\\x.bin"}));
  // White space around and between tokens, and escapes in the tag.
  EXPECT_EQ(decode(" \r\n\t{ \"op\" : \"p\\u0069ng\" } \n"), IpcRequest(IpcRequest::Ping{}));
}

TEST(RequestObjectForm, MissingAndDuplicateKeys) {
  EXPECT_EQ(request_error("{}"), "missing field `op` at line 1 column 2");
  EXPECT_EQ(request_error(R"({"op":"ping","op":"status"})"), "duplicate field `op` at line 1 column 17");
  EXPECT_EQ(request_error(R"({"op":"export_fat32","cluster":5,"letter":"E","dest":"D:\\x.bin"})"),
            "missing field `size` at line 1 column 65");
  EXPECT_EQ(request_error(R"({"op":"export_fat32","letter":"E","cluster":5,"letter":"F","size":1,"dest":"d"})"),
            "duplicate field `letter` at line 1 column 54");
  // The first missing field in declaration order is named, whatever the input's order.
  EXPECT_EQ(request_error(R"({"dest":"d","op":"export_ntfs_frn"})"), "missing field `letter` at line 1 column 35");
  // Unknown keys may repeat.
  EXPECT_EQ(decode(R"({"op":"ping","x":1,"x":2})"), IpcRequest(IpcRequest::Ping{}));
}

TEST(RequestObjectForm, UnknownOrMistypedTag) {
  EXPECT_EQ(request_error(R"({"op":"pong"})"),
            "unknown variant `pong`, expected one of `ping`, `status`, `open_device`, `export_ntfs_frn`, "
            "`export_fat32`, `export_exfat`, `icat_to_file` at line 1 column 12");
  EXPECT_EQ(request_error(R"({"op":"Ping"})").substr(0, 24), "unknown variant `Ping`, ");
  EXPECT_EQ(request_error(R"({"op":3})"), "invalid type: integer `3`, expected variant identifier at line 1 column 7");
  EXPECT_EQ(request_error(R"({"op":null})"), "invalid type: null, expected variant identifier at line 1 column 10");
  EXPECT_EQ(request_error(R"({"op":["ping"]})"), "invalid type: sequence, expected variant identifier at line 1 column 14");
}

TEST(RequestObjectForm, OptionalFieldsTakeTheirDefaults) {
  EXPECT_EQ(decode(R"({"op":"icat_to_file","fs":"ntfs","device":"\\\\.\\E:","inode":"5","offset":0,"dest":"D:\\o.bin"})"),
            IpcRequest(IpcRequest::IcatToFile{"ntfs", "\\\\.\\E:", "5", 0, "D:\\o.bin", false, 0}));
  const IpcRequest no_name = IpcRequest::ExportExfat{"E", 7, 3, 100, true, std::nullopt, "D:\\b"};
  EXPECT_EQ(decode(R"({"op":"export_exfat","letter":"E","cluster":7,"offset":3,"size":100,"no_fat_chain":true,"dest":"D:\\b"})"),
            no_name);
  EXPECT_EQ(decode(R"({"op":"export_exfat","letter":"E","cluster":7,"offset":3,"size":100,"no_fat_chain":true,"filename":null,"dest":"D:\\b"})"),
            no_name);
  EXPECT_EQ(request_error(R"({"op":"export_exfat","letter":"E","cluster":7,"offset":3,"size":100,"no_fat_chain":true,"filename":5,"dest":"D:\\b"})"),
            "invalid type: integer `5`, expected a string at line 1 column 100");
}

// ---- array form ---------------------------------------------------------------------------

TEST(RequestArrayForm, TagFirstThenFieldsByPosition) {
  EXPECT_EQ(decode(R"(["ping"])"), IpcRequest(IpcRequest::Ping{}));
  EXPECT_EQ(decode(R"(["open_device","\\\\.\\E:",4242])"), IpcRequest(IpcRequest::OpenDevice{"\\\\.\\E:", 4242}));
  EXPECT_EQ(decode(R"(["icat_to_file","ntfs","\\\\.\\E:","5",0,"D:\\o.bin"])"),
            IpcRequest(IpcRequest::IcatToFile{"ntfs", "\\\\.\\E:", "5", 0, "D:\\o.bin", false, 0}));
  EXPECT_EQ(decode(R"(["icat_to_file","ntfs","d","5",0,"o",true])"),
            IpcRequest(IpcRequest::IcatToFile{"ntfs", "d", "5", 0, "o", true, 0}));
  EXPECT_EQ(decode(R"(["export_exfat","E",1,2,3,false,null,"D:\\b"])"),
            IpcRequest(IpcRequest::ExportExfat{"E", 1, 2, 3, false, std::nullopt, "D:\\b"}));
}

TEST(RequestArrayForm, LengthErrors) {
  EXPECT_EQ(request_error("[]"), "missing field `op` at line 1 column 2");
  EXPECT_EQ(request_error(R"(["status",0])"), "invalid length 1, expected 0 elements in sequence at line 1 column 12");
  EXPECT_EQ(request_error(R"(["ping",1,2])"), "invalid length 2, expected 0 elements in sequence at line 1 column 12");
  EXPECT_EQ(request_error(R"(["open_device","p"])"),
            "invalid length 1, expected struct variant IpcRequest::OpenDevice with 2 elements at line 1 column 19");
  EXPECT_EQ(request_error(R"(["export_ntfs_frn"])"),
            "invalid length 0, expected struct variant IpcRequest::ExportNtfsFrn with 3 elements at line 1 column 19");
  EXPECT_EQ(request_error(R"(["export_fat32","E",1,2])"),
            "invalid length 3, expected struct variant IpcRequest::ExportFat32 with 4 elements at line 1 column 24");
  EXPECT_EQ(request_error(R"(["export_exfat","E",1,2,3,false,"n"])"),
            "invalid length 6, expected struct variant IpcRequest::ExportExfat with 7 elements at line 1 column 36");
  // The optional file name may be left out only when nothing follows it; dest is then missing.
  EXPECT_EQ(request_error(R"(["export_exfat","E",1,2,3,false])"),
            "invalid length 6, expected struct variant IpcRequest::ExportExfat with 7 elements at line 1 column 32");
  EXPECT_EQ(request_error(R"(["icat_to_file","ntfs","d","5",0])"),
            "invalid length 4, expected struct variant IpcRequest::IcatToFile with 7 elements at line 1 column 33");
  EXPECT_EQ(request_error(R"(["icat_to_file","ntfs","d","5",0,"o",true,0,1])"),
            "invalid length 8, expected 7 elements in sequence at line 1 column 46");
  EXPECT_EQ(request_error(R"(["open_device","p",1,2])"),
            "invalid length 3, expected 2 elements in sequence at line 1 column 23");
}

TEST(RequestArrayForm, TagMustBeAKnownString) {
  EXPECT_EQ(request_error("[1]"), "invalid type: integer `1`, expected variant identifier at line 1 column 2");
  EXPECT_EQ(request_error(R"(["nope"])").substr(0, 24), "unknown variant `nope`, ");
}

// ---- values -------------------------------------------------------------------------------

TEST(RequestValues, UnsignedFieldsAreExactOverTheirWholeRange) {
  EXPECT_EQ(decode(R"({"op":"open_device","path":"p","client_pid":4294967295})"),
            IpcRequest(IpcRequest::OpenDevice{"p", 4294967295u}));
  EXPECT_EQ(decode(R"({"op":"export_ntfs_frn","letter":"E","frn":18446744073709551615,"dest":"d"})"),
            IpcRequest(IpcRequest::ExportNtfsFrn{"E", 18446744073709551615ull, "d"}));
  // 2^53 + 1 does not survive a double.
  EXPECT_EQ(decode(R"({"op":"export_ntfs_frn","letter":"E","frn":9007199254740993,"dest":"d"})"),
            IpcRequest(IpcRequest::ExportNtfsFrn{"E", 9007199254740993ull, "d"}));
}

TEST(RequestValues, OutOfRangeNegativeFractionalAndMistypedNumbers) {
  EXPECT_EQ(request_error(R"({"op":"open_device","path":"\\\\.\\E:","client_pid":4294967296})"),
            "invalid value: integer `4294967296`, expected u32 at line 1 column 62");
  EXPECT_EQ(request_error(R"({"op":"open_device","path":"\\\\.\\E:","client_pid":-1})"),
            "invalid value: integer `-1`, expected u32 at line 1 column 54");
  EXPECT_EQ(request_error(R"({"op":"open_device","path":"p","client_pid":1.5})"),
            "invalid type: floating point `1.5`, expected u32 at line 1 column 47");
  EXPECT_EQ(request_error(R"({"op":"open_device","path":"p","client_pid":1e3})"),
            "invalid type: floating point `1000.0`, expected u32 at line 1 column 47");
  EXPECT_EQ(request_error(R"({"op":"open_device","path":"p","client_pid":-0})"),
            "invalid type: floating point `-0.0`, expected u32 at line 1 column 46");
  EXPECT_EQ(request_error(R"({"op":"open_device","path":"p","client_pid":"7"})"),
            "invalid type: string \"7\", expected u32 at line 1 column 47");
  EXPECT_EQ(request_error(R"({"op":"export_ntfs_frn","letter":"E","frn":18446744073709551616,"dest":"d"})"),
            "invalid type: floating point `1.8446744073709552e19`, expected u64 at line 1 column 63");
  EXPECT_EQ(request_error(R"({"op":"export_ntfs_frn","letter":"E","frn":-9223372036854775808,"dest":"d"})"),
            "invalid value: integer `-9223372036854775808`, expected u64 at line 1 column 63");
}

TEST(RequestValues, StringsAndBooleansTakeOnlyTheirOwnType) {
  EXPECT_EQ(request_error(R"({"op":"open_device","path":true,"client_pid":1})"),
            "invalid type: boolean `true`, expected a string at line 1 column 31");
  EXPECT_EQ(request_error(R"({"op":"open_device","path":{"a":1},"client_pid":1})"),
            "invalid type: map, expected a string at line 1 column 34");
  EXPECT_EQ(request_error(R"({"op":"export_exfat","letter":"E","cluster":1,"offset":2,"size":3,"no_fat_chain":1,"dest":"d"})"),
            "invalid type: integer `1`, expected a boolean at line 1 column 82");
  EXPECT_EQ(request_error(R"({"op":"icat_to_file","fs":"f","device":"d","inode":5,"offset":0,"dest":"o"})"),
            "invalid type: integer `5`, expected a string at line 1 column 52");
  EXPECT_EQ(request_error(R"(["open_device","a\"b\n\u0001",1,2])").substr(0, 32), "invalid length 3, expected 2 ele");
  EXPECT_EQ(request_error(R"(["open_device",1,"a\"b\n"])"),
            "invalid type: integer `1`, expected a string at line 1 column 16");
  EXPECT_EQ(request_error(R"(["open_device","p","a\"b\n\u0001"])"),
            "invalid type: string \"a\\\"b\\n\\u{1}\", expected u32 at line 1 column 33");
}

TEST(RequestValues, FirstFaultInInputOrderWins) {
  // A mistyped field before a duplicate is reported first; a duplicate before a later mistyped
  // field likewise.
  EXPECT_EQ(request_error(R"({"op":"open_device","client_pid":"x","client_pid":1,"path":"p"})"),
            "invalid type: string \"x\", expected u32 at line 1 column 36");
  EXPECT_EQ(request_error(R"({"op":"open_device","path":"p","path":"q","client_pid":"x"})"),
            "duplicate field `path` at line 1 column 37");
}

TEST(RequestTopLevel, AnythingButObjectOrArrayIsRefused) {
  EXPECT_EQ(request_error(R"("ping")"), "invalid type: string \"ping\", expected internally tagged enum IpcRequest at line 1 column 6");
  EXPECT_EQ(request_error("null"), "invalid type: null, expected internally tagged enum IpcRequest at line 1 column 4");
  EXPECT_EQ(request_error("12"), "invalid type: integer `12`, expected internally tagged enum IpcRequest at line 1 column 2");
  EXPECT_EQ(request_error("false"), "invalid type: boolean `false`, expected internally tagged enum IpcRequest at line 1 column 5");
}

// An error quotes only the start of a long value, so a reply that carries the error stays small
// whatever the request held (the service's test sends a whole frame of it).
TEST(RequestTopLevel, ValuesQuotedInErrorsAreCutAfter256Characters) {
  const std::string value(1 << 20, 'a');
  const std::string cut = std::string(256, 'a') + "\u2026";
  EXPECT_EQ(request_error("\"" + value + "\""), "invalid type: string \"" + cut +
                                                   "\", expected internally tagged enum IpcRequest at line 1 column " +
                                                   std::to_string(value.size() + 2));
  EXPECT_TRUE(request_error(R"({"op":")" + value + R"("})").starts_with("unknown variant `" + cut + "`, expected one"));
  // Escapes are written after the cut; exactly 256 characters are quoted whole.
  std::string accents;
  for (int i = 0; i < 300; ++i) accents += "\u00e9\\n";  // in the JSON text: é and an escaped line feed
  const std::string shown = accents.substr(0, 128 * 4);   // 256 characters, shown with the same escapes
  EXPECT_TRUE(request_error(R"(["open_device","x",")" + accents + R"("])")
                  .starts_with("invalid type: string \"" + shown + "\u2026\", expected u32 at "))
      << request_error(R"(["open_device","x",")" + accents + R"("])");
  EXPECT_TRUE(request_error(R"({"op":")" + std::string(256, 'b') + R"("})")
                  .starts_with("unknown variant `" + std::string(256, 'b') + "`, expected one"));
}

// ---- replies ------------------------------------------------------------------------------

TEST(Replies, EncodeStatusFirst) {
  EXPECT_EQ(*serialize_ipc_response(IpcResponse::Ok{nlohmann::json{{"ok", true}}}), R"({"status":"ok","data":{"ok":true}})");
  EXPECT_EQ(*serialize_ipc_response(IpcResponse::Err{"OPEN", "device path not allowed: C:\\x"}),
            R"({"status":"err","code":"OPEN","message":"device path not allowed: C:\\x"})");
  EXPECT_EQ(*serialize_ipc_response(IpcResponse::Ok{nullptr}), R"({"status":"ok","data":null})");
  EXPECT_EQ(*serialize_ipc_response(IpcResponse::Ok{service_status_to_json({1, "1.0.0", true})}),
            R"({"status":"ok","data":{"elevated":true,"protocolVersion":1,"serviceVersion":"1.0.0"}})");
  EXPECT_EQ(*serialize_ipc_response(IpcResponse::Ok{nlohmann::json::array({-3, 1.5, 1e20, 0.25, "x"})}),
            R"({"status":"ok","data":[-3,1.5,1e20,0.25,"x"]})");
}

TEST(Replies, DecodeBothFormsAndAnyData) {
  auto ok = ipc_response_deserialize(R"({"status":"ok","data":{"pong":true,"protocolVersion":1}})");
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(*ok, IpcResponse(IpcResponse::Ok{nlohmann::json{{"pong", true}, {"protocolVersion", 1}}}));

  auto null_data = ipc_response_deserialize(R"({"data":null,"status":"ok"})");
  ASSERT_TRUE(null_data.has_value());
  EXPECT_EQ(*null_data, IpcResponse(IpcResponse::Ok{nullptr}));

  auto array_ok = ipc_response_deserialize(R"(["ok",[1,{"a":[true,null]},"s",-2,18446744073709551615]])");
  ASSERT_TRUE(array_ok.has_value());
  const auto& data = std::get<IpcResponse::Ok>(array_ok->reply).data;
  EXPECT_EQ(data.dump(), R"([1,{"a":[true,null]},"s",-2,18446744073709551615])");
  EXPECT_EQ(data[4].get<std::uint64_t>(), 18446744073709551615ull);

  auto err = ipc_response_deserialize(R"(["err","OPEN","no"])");
  ASSERT_TRUE(err.has_value());
  EXPECT_EQ(*err, IpcResponse(IpcResponse::Err{"OPEN", "no"}));
}

TEST(Replies, NestedDuplicateKeysKeepTheLastValue) {
  auto ok = ipc_response_deserialize(R"({"status":"ok","data":{"a":1,"a":{"b":2}}})");
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(std::get<IpcResponse::Ok>(ok->reply).data, nlohmann::json::parse(R"({"a":{"b":2}})"));
}

TEST(Replies, Errors) {
  EXPECT_EQ(response_error(R"({"status":"ok"})"), "missing field `data` at line 1 column 15");
  EXPECT_EQ(response_error(R"({"status":"err","code":"OPEN"})"), "missing field `message` at line 1 column 30");
  EXPECT_EQ(response_error(R"({"status":"fine"})"), "unknown variant `fine`, expected `ok` or `err` at line 1 column 16");
  EXPECT_EQ(response_error(R"({"status":"ok","data":1,"data":2})"), "duplicate field `data` at line 1 column 30");
  EXPECT_EQ(response_error(R"({"status":"err","code":1,"message":"m"})"),
            "invalid type: integer `1`, expected a string at line 1 column 24");
  EXPECT_EQ(response_error(R"(["ok"])"), "invalid length 0, expected struct variant IpcResponse::Ok with 1 element at line 1 column 6");
  EXPECT_EQ(response_error(R"(["err","c"])"),
            "invalid length 1, expected struct variant IpcResponse::Err with 2 elements at line 1 column 11");
  EXPECT_EQ(response_error(R"(["ok",1,2])"), "invalid length 2, expected 1 element in sequence at line 1 column 10");
  EXPECT_EQ(response_error("[]"), "missing field `status` at line 1 column 2");
  EXPECT_EQ(response_error("true"), "invalid type: boolean `true`, expected internally tagged enum IpcResponse at line 1 column 4");
  EXPECT_EQ(response_error(""), "EOF while parsing a value at line 1 column 0");
}

// ---- status record ------------------------------------------------------------------------

TEST(StatusRecord, BothFormsDecodeAlike) {
  const ServiceStatusData expected{1, "1.0.0", true};
  auto from_object = deserialize_service_status_data(R"({"serviceVersion":"1.0.0","elevated":true,"protocolVersion":1})");
  ASSERT_TRUE(from_object.has_value()) << from_object.error().display();
  EXPECT_EQ(*from_object, expected);
  auto from_array = deserialize_service_status_data(R"([1,"1.0.0",true])");
  ASSERT_TRUE(from_array.has_value());
  EXPECT_EQ(*from_array, expected);

  auto from_value = service_status_from_value(nlohmann::json::parse(R"({"x":0,"serviceVersion":"1.0.0","elevated":true,"protocolVersion":1})"));
  ASSERT_TRUE(from_value.has_value());
  EXPECT_EQ(*from_value, expected);
  auto round_trip = service_status_from_value(service_status_to_json(expected));
  ASSERT_TRUE(round_trip.has_value());
  EXPECT_EQ(*round_trip, expected);
}

TEST(StatusRecord, ErrorsFromAValueCarryNoPosition) {
  const auto error_of = [](const char* text) {
    auto status = service_status_from_value(nlohmann::json::parse(text));
    return status ? std::string("decoded") : status.error().display();
  };
  EXPECT_EQ(error_of(R"([1,"1.0.0"])"), "invalid length 2, expected struct ServiceStatusData with 3 elements");
  EXPECT_EQ(error_of(R"([1,"1.0.0",true,0])"), "invalid length 4, expected fewer elements in array");
  EXPECT_EQ(error_of(R"({"elevated":true})"), "missing field `protocolVersion`");
  EXPECT_EQ(error_of(R"({"protocolVersion":1,"elevated":true})"), "missing field `serviceVersion`");
  EXPECT_EQ(error_of(R"({"protocolVersion":1,"serviceVersion":""})"), "missing field `elevated`");
  EXPECT_EQ(error_of(R"({"protocolVersion":-1,"serviceVersion":"","elevated":true})"),
            "invalid value: integer `-1`, expected u32");
  EXPECT_EQ(error_of(R"({"protocolVersion":4294967296,"serviceVersion":"","elevated":true})"),
            "invalid value: integer `4294967296`, expected u32");
  EXPECT_EQ(error_of(R"({"protocolVersion":1,"serviceVersion":"","elevated":"yes"})"),
            "invalid type: string \"yes\", expected a boolean");
  EXPECT_EQ(error_of(R"("up")"), "invalid type: string \"up\", expected struct ServiceStatusData");
  EXPECT_EQ(error_of("null"), "invalid type: null, expected struct ServiceStatusData");
  // A value built in memory with a signed non-negative number still reads as unsigned.
  auto built = service_status_from_value(nlohmann::json{{"protocolVersion", 7}, {"serviceVersion", "v"}, {"elevated", false}});
  ASSERT_TRUE(built.has_value());
  EXPECT_EQ(built->protocol_version, 7u);
}

TEST(StatusRecord, ErrorsFromTextCarryTheirPosition) {
  EXPECT_EQ(status_error(R"([1,"1.0.0"])"), "invalid length 2, expected struct ServiceStatusData with 3 elements at line 1 column 11");
  EXPECT_EQ(status_error(R"([1,"1.0.0",true,0])"), "invalid length 4, expected fewer elements in array at line 1 column 18");
  EXPECT_EQ(status_error(R"({"protocolVersion":1,"protocolVersion":1})"), "duplicate field `protocolVersion` at line 1 column 38");
  EXPECT_EQ(status_error("{\n\"elevated\": true\n}"), "missing field `protocolVersion` at line 3 column 1");
}

}  // namespace
}  // namespace kavel_lib::ipc
