#include "ipc/messages.h"

#include <array>
#include <functional>
#include <limits>
#include <span>
#include <vector>

#include <fmt/format.h>

namespace kavel_lib::ipc {

namespace {

using json_codec::Document;
using json_codec::invalid_type;
using json_codec::Item;
using json_codec::Kind;

constexpr std::array<std::string_view, 7> kRequestNames = {
    "ping", "status", "open_device", "export_ntfs_frn", "export_fat32", "export_exfat", "icat_to_file"};
constexpr std::array<std::string_view, 2> kResponseNames = {"ok", "err"};

// The keys the decoders read, and how many array elements the longest variant takes (with
// its tag): all a parse needs to keep.
constexpr std::array<std::string_view, 16> kRequestKeys = {
    "op",   "path",   "client_pid", "letter",       "frn",      "dest", "cluster", "size",
    "offset", "no_fat_chain", "filename", "fs", "device", "inode", "recover", "max_bytes"};
constexpr std::array<std::string_view, 4> kResponseKeys = {"status", "data", "code", "message"};
constexpr std::array<std::string_view, 3> kStatusKeys = {"protocolVersion", "serviceVersion", "elevated"};

const json_codec::ParseLimits kRequestLimits{false, kRequestKeys, 8};
const json_codec::ParseLimits kResponseLimits{true, kResponseKeys, 3};
const json_codec::ParseLimits kStatusLimits{false, kStatusKeys, 3};

// ---- writing ---------------------------------------------------------------------------

// Writes one JSON object field by field; the first failure sticks.
class ObjectWriter {
 public:
  explicit ObjectWriter(std::size_t capacity) {
    out_.reserve(capacity);
    out_ += '{';
  }

  ObjectWriter& string(std::string_view key, std::string_view value) {
    if (name(key)) keep(json_codec::append_string(out_, value));
    return *this;
  }
  ObjectWriter& number(std::string_view key, std::uint64_t value) {
    if (name(key)) out_ += fmt::format("{}", value);
    return *this;
  }
  ObjectWriter& boolean(std::string_view key, bool value) {
    if (name(key)) out_ += value ? "true" : "false";
    return *this;
  }
  ObjectWriter& optional_string(std::string_view key, const std::optional<std::string>& value) {
    if (!value) {
      if (name(key)) out_ += "null";
      return *this;
    }
    return string(key, *value);
  }
  ObjectWriter& value(std::string_view key, const nlohmann::json& value) {
    if (name(key)) keep(json_codec::append_value(out_, value));
    return *this;
  }

  std::expected<std::string, JsonError> finish() {
    if (error_) return std::unexpected(std::move(*error_));
    out_ += '}';
    return std::move(out_);
  }

 private:
  bool name(std::string_view key) {
    if (error_) return false;
    if (!first_) out_ += ',';
    first_ = false;
    keep(json_codec::append_string(out_, key));
    out_ += ':';
    return !error_;
  }
  void keep(std::expected<void, JsonError> result) {
    if (!result && !error_) error_ = std::move(result.error());
  }

  std::string out_;
  bool first_ = true;
  std::optional<JsonError> error_;
};

// ---- reading ---------------------------------------------------------------------------

// Reads one field's value into its place; gives the error message when the value does not fit.
using FieldReader = std::function<std::optional<std::string>(Item&)>;

struct Field {
  std::string_view name;
  bool optional;
  FieldReader read;
};

// The text is moved out of the document (each item is read once), so that a long text is
// never held twice.
std::optional<std::string> read_string(Item& item, std::string& out) {
  if (item.kind != Kind::String) return invalid_type(item, "a string");
  out = std::move(item.text);
  return std::nullopt;
}

std::optional<std::string> read_optional_string(Item& item, std::optional<std::string>& out) {
  if (item.kind == Kind::Null) {
    out.reset();
    return std::nullopt;
  }
  std::string text;
  if (auto error = read_string(item, text)) return error;
  out = std::move(text);
  return std::nullopt;
}

std::optional<std::string> read_bool(const Item& item, bool& out) {
  if (item.kind != Kind::Bool) return invalid_type(item, "a boolean");
  out = item.boolean;
  return std::nullopt;
}

template <typename Unsigned>
std::optional<std::string> read_unsigned(const Item& item, Unsigned& out, std::string_view type_name) {
  switch (item.kind) {
    case Kind::Unsigned:
      if (item.unsigned_value > std::numeric_limits<Unsigned>::max()) {
        return fmt::format("invalid value: integer `{}`, expected {}", item.unsigned_value, type_name);
      }
      out = static_cast<Unsigned>(item.unsigned_value);
      return std::nullopt;
    case Kind::Signed:
      return fmt::format("invalid value: integer `{}`, expected {}", item.signed_value, type_name);
    default:
      return invalid_type(item, type_name);
  }
}

FieldReader text_field(std::string& out) {
  return [&out](Item& item) { return read_string(item, out); };
}
FieldReader optional_text_field(std::optional<std::string>& out) {
  return [&out](Item& item) { return read_optional_string(item, out); };
}
FieldReader bool_field(bool& out) {
  return [&out](Item& item) { return read_bool(item, out); };
}
FieldReader u32_field(std::uint32_t& out) {
  return [&out](Item& item) { return read_unsigned(item, out, "u32"); };
}
FieldReader u64_field(std::uint64_t& out) {
  return [&out](Item& item) { return read_unsigned(item, out, "u64"); };
}

std::string elements_in_sequence(std::size_t count) {
  return count == 1 ? "1 element in sequence" : fmt::format("{} elements in sequence", count);
}

// How an array with more elements than fields is refused.
enum class ExtraElements {
  InSequence,  // "invalid length {n}, expected {fields} elements in sequence" (tagged variants)
  FewerInArray,  // "invalid length {n}, expected fewer elements in array" (the status record)
};

// Reads the fields of a record from the document: the object's keys other than the tag, or
// the array's elements after the tag. `expecting` names the record for a too-short array.
std::optional<JsonError> read_fields(Document& doc, std::span<Field> fields, std::string_view tag_key,
                                     std::string_view expecting, ExtraElements extra) {
  if (doc.top.kind == Kind::Object) {
    std::vector<bool> seen(fields.size(), false);
    for (auto& member : doc.members) {
      if (!tag_key.empty() && member.key == tag_key) continue;
      std::size_t index = 0;
      while (index < fields.size() && fields[index].name != member.key) ++index;
      if (index == fields.size()) continue;  // a key that names no field
      if (seen[index]) return doc.error_at(member.key_end, fmt::format("duplicate field `{}`", member.key));
      seen[index] = true;
      if (auto message = fields[index].read(member.value)) return doc.error_at(member.value.end, std::move(*message));
    }
    for (std::size_t index = 0; index < fields.size(); ++index) {
      if (!seen[index] && !fields[index].optional) {
        return doc.error_at(doc.top.end, fmt::format("missing field `{}`", fields[index].name));
      }
    }
    return std::nullopt;
  }

  const std::size_t first = tag_key.empty() ? 0 : 1;
  const std::size_t available = doc.element_count > first ? doc.element_count - first : 0;
  for (std::size_t index = 0; index < fields.size(); ++index) {
    if (index < available && first + index < doc.elements.size()) {
      Item& element = doc.elements[first + index];
      if (auto message = fields[index].read(element)) return doc.error_at(element.end, std::move(*message));
    } else if (!fields[index].optional) {
      return doc.error_at(doc.top.end, fmt::format("invalid length {}, expected {}", index, expecting));
    }
  }
  if (available > fields.size()) {
    const std::string expected = extra == ExtraElements::InSequence ? elements_in_sequence(fields.size())
                                                                     : std::string("fewer elements in array");
    return doc.error_at(doc.top.end, fmt::format("invalid length {}, expected {}", available, expected));
  }
  return std::nullopt;
}

std::string one_of(std::span<const std::string_view> names) {
  if (names.size() == 2) return fmt::format("`{}` or `{}`", names[0], names[1]);
  std::string out = "one of ";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += ", ";
    out += fmt::format("`{}`", names[i]);
  }
  return out;
}

std::expected<std::size_t, JsonError> variant_of(const Document& doc, const Item& tag,
                                                 std::span<const std::string_view> names) {
  if (tag.kind != Kind::String) return std::unexpected(doc.error_at(tag.end, invalid_type(tag, "variant identifier")));
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == tag.text) return i;
  }
  return std::unexpected(doc.error_at(
      tag.end, fmt::format("unknown variant `{}`, expected {}", json_codec::clip_client_value(tag.text), one_of(names))));
}

// Finds which variant a tagged message is: the tag key of the object (once), or the first
// element of the array.
std::expected<std::size_t, JsonError> read_tag(const Document& doc, std::string_view tag_key,
                                               std::span<const std::string_view> names, std::string_view enum_name) {
  if (doc.top.kind == Kind::Object) {
    std::optional<std::size_t> variant;
    for (const auto& member : doc.members) {
      if (member.key != tag_key) continue;
      if (variant) return std::unexpected(doc.error_at(member.key_end, fmt::format("duplicate field `{}`", tag_key)));
      auto found = variant_of(doc, member.value, names);
      if (!found) return std::unexpected(found.error());
      variant = *found;
    }
    if (!variant) return std::unexpected(doc.error_at(doc.top.end, fmt::format("missing field `{}`", tag_key)));
    return *variant;
  }
  if (doc.top.kind == Kind::Array) {
    if (doc.elements.empty()) {
      return std::unexpected(doc.error_at(doc.top.end, fmt::format("missing field `{}`", tag_key)));
    }
    return variant_of(doc, doc.elements.front(), names);
  }
  return std::unexpected(
      doc.error_at(doc.top.end, invalid_type(doc.top, fmt::format("internally tagged enum {}", enum_name))));
}

std::expected<IpcRequest, JsonError> read_request(Document& doc, std::size_t variant) {
  constexpr std::string_view kTag = "op";
  const auto finish = [&](auto value, std::span<Field> fields, std::string_view expecting)
      -> std::expected<IpcRequest, JsonError> {
    if (auto error = read_fields(doc, fields, kTag, expecting, ExtraElements::InSequence)) {
      return std::unexpected(std::move(*error));
    }
    return IpcRequest(std::move(value));
  };
  switch (variant) {
    case 0:
      return finish(IpcRequest::Ping{}, {}, "unit variant IpcRequest::Ping");
    case 1:
      return finish(IpcRequest::Status{}, {}, "unit variant IpcRequest::Status");
    case 2: {
      IpcRequest::OpenDevice v;
      Field fields[] = {{"path", false, text_field(v.path)}, {"client_pid", false, u32_field(v.client_pid)}};
      if (auto error = read_fields(doc, fields, kTag, "struct variant IpcRequest::OpenDevice with 2 elements",
                                   ExtraElements::InSequence)) {
        return std::unexpected(std::move(*error));
      }
      return IpcRequest(std::move(v));
    }
    case 3: {
      IpcRequest::ExportNtfsFrn v;
      Field fields[] = {{"letter", false, text_field(v.letter)},
                        {"frn", false, u64_field(v.frn)},
                        {"dest", false, text_field(v.dest)}};
      if (auto error = read_fields(doc, fields, kTag, "struct variant IpcRequest::ExportNtfsFrn with 3 elements",
                                   ExtraElements::InSequence)) {
        return std::unexpected(std::move(*error));
      }
      return IpcRequest(std::move(v));
    }
    case 4: {
      IpcRequest::ExportFat32 v;
      Field fields[] = {{"letter", false, text_field(v.letter)},
                        {"cluster", false, u32_field(v.cluster)},
                        {"size", false, u64_field(v.size)},
                        {"dest", false, text_field(v.dest)}};
      if (auto error = read_fields(doc, fields, kTag, "struct variant IpcRequest::ExportFat32 with 4 elements",
                                   ExtraElements::InSequence)) {
        return std::unexpected(std::move(*error));
      }
      return IpcRequest(std::move(v));
    }
    case 5: {
      IpcRequest::ExportExfat v;
      Field fields[] = {{"letter", false, text_field(v.letter)},
                        {"cluster", false, u32_field(v.cluster)},
                        {"offset", false, u32_field(v.offset)},
                        {"size", false, u64_field(v.size)},
                        {"no_fat_chain", false, bool_field(v.no_fat_chain)},
                        {"filename", true, optional_text_field(v.filename)},
                        {"dest", false, text_field(v.dest)}};
      if (auto error = read_fields(doc, fields, kTag, "struct variant IpcRequest::ExportExfat with 7 elements",
                                   ExtraElements::InSequence)) {
        return std::unexpected(std::move(*error));
      }
      return IpcRequest(std::move(v));
    }
    default: {
      IpcRequest::IcatToFile v;
      Field fields[] = {{"fs", false, text_field(v.fs)},
                        {"device", false, text_field(v.device)},
                        {"inode", false, text_field(v.inode)},
                        {"offset", false, u64_field(v.offset)},
                        {"dest", false, text_field(v.dest)},
                        {"recover", true, bool_field(v.recover)},
                        {"max_bytes", true, u64_field(v.max_bytes)}};
      if (auto error = read_fields(doc, fields, kTag, "struct variant IpcRequest::IcatToFile with 7 elements",
                                   ExtraElements::InSequence)) {
        return std::unexpected(std::move(*error));
      }
      return IpcRequest(std::move(v));
    }
  }
}

std::expected<ServiceStatusData, JsonError> read_status(Document& doc) {
  if (doc.top.kind != Kind::Object && doc.top.kind != Kind::Array) {
    return std::unexpected(doc.error_at(doc.top.end, invalid_type(doc.top, "struct ServiceStatusData")));
  }
  ServiceStatusData status;
  Field fields[] = {{"protocolVersion", false, u32_field(status.protocol_version)},
                    {"serviceVersion", false, text_field(status.service_version)},
                    {"elevated", false, bool_field(status.elevated)}};
  if (auto error = read_fields(doc, fields, {}, "struct ServiceStatusData with 3 elements", ExtraElements::FewerInArray)) {
    return std::unexpected(std::move(*error));
  }
  return status;
}

}  // namespace

std::string_view IpcRequest::op_name() const { return kRequestNames[op.index()]; }

std::expected<std::string, JsonError> serialize_ipc_request(const IpcRequest& request) {
  ObjectWriter writer(128);
  writer.string("op", request.op_name());
  std::visit(
      [&writer](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, IpcRequest::OpenDevice>) {
          writer.string("path", v.path).number("client_pid", v.client_pid);
        } else if constexpr (std::is_same_v<T, IpcRequest::ExportNtfsFrn>) {
          writer.string("letter", v.letter).number("frn", v.frn).string("dest", v.dest);
        } else if constexpr (std::is_same_v<T, IpcRequest::ExportFat32>) {
          writer.string("letter", v.letter).number("cluster", v.cluster).number("size", v.size).string("dest", v.dest);
        } else if constexpr (std::is_same_v<T, IpcRequest::ExportExfat>) {
          writer.string("letter", v.letter)
              .number("cluster", v.cluster)
              .number("offset", v.offset)
              .number("size", v.size)
              .boolean("no_fat_chain", v.no_fat_chain)
              .optional_string("filename", v.filename)
              .string("dest", v.dest);
        } else if constexpr (std::is_same_v<T, IpcRequest::IcatToFile>) {
          writer.string("fs", v.fs)
              .string("device", v.device)
              .string("inode", v.inode)
              .number("offset", v.offset)
              .string("dest", v.dest)
              .boolean("recover", v.recover)
              .number("max_bytes", v.max_bytes);
        }
      },
      request.op);
  return writer.finish();
}

std::expected<IpcRequest, JsonError> deserialize_ipc_request(std::string_view bytes) {
  auto doc = json_codec::parse_document(bytes, kRequestLimits);
  if (!doc) return std::unexpected(std::move(doc.error()));
  const auto variant = read_tag(*doc, "op", kRequestNames, "IpcRequest");
  if (!variant) return std::unexpected(variant.error());
  return read_request(*doc, *variant);
}

std::expected<std::string, JsonError> serialize_ipc_response(const IpcResponse& response) {
  ObjectWriter writer(128);
  if (const auto* ok = std::get_if<IpcResponse::Ok>(&response.reply)) {
    writer.string("status", "ok").value("data", ok->data);
  } else {
    const auto& err = std::get<IpcResponse::Err>(response.reply);
    writer.string("status", "err").string("code", err.code).string("message", err.message);
  }
  return writer.finish();
}

std::expected<IpcResponse, JsonError> ipc_response_deserialize(std::string_view bytes) {
  auto doc = json_codec::parse_document(bytes, kResponseLimits);
  if (!doc) return std::unexpected(std::move(doc.error()));
  const auto variant = read_tag(*doc, "status", kResponseNames, "IpcResponse");
  if (!variant) return std::unexpected(variant.error());
  if (*variant == 0) {
    IpcResponse::Ok ok;
    Field fields[] = {{"data", false, [&ok](Item& item) -> std::optional<std::string> {
                         ok.data = json_codec::take_json(item);
                         return std::nullopt;
                       }}};
    if (auto error = read_fields(*doc, fields, "status", "struct variant IpcResponse::Ok with 1 element",
                                 ExtraElements::InSequence)) {
      return std::unexpected(std::move(*error));
    }
    return IpcResponse(std::move(ok));
  }
  IpcResponse::Err err;
  Field fields[] = {{"code", false, text_field(err.code)}, {"message", false, text_field(err.message)}};
  if (auto error = read_fields(*doc, fields, "status", "struct variant IpcResponse::Err with 2 elements",
                               ExtraElements::InSequence)) {
    return std::unexpected(std::move(*error));
  }
  return IpcResponse(std::move(err));
}

nlohmann::json service_status_to_json(const ServiceStatusData& status) {
  return nlohmann::json{{"protocolVersion", status.protocol_version},
                        {"serviceVersion", status.service_version},
                        {"elevated", status.elevated}};
}

std::expected<ServiceStatusData, JsonError> service_status_from_value(const nlohmann::json& data) {
  Document doc = json_codec::document_from_value(data);
  return read_status(doc);
}

std::expected<ServiceStatusData, JsonError> deserialize_service_status_data(std::string_view bytes) {
  auto doc = json_codec::parse_document(bytes, kStatusLimits);
  if (!doc) return std::unexpected(std::move(doc.error()));
  return read_status(*doc);
}

}  // namespace kavel_lib::ipc
