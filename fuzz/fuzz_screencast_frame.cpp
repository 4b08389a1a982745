// The screencast frame finder over any message the browser's pipe could carry: what it takes for
// a frame must be a frame event to a full JSON reading too (same flat session, acknowledgement id
// and image), so that no page text or page object that looks like one is taken for a frame.
#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "renderers/cdp/cdp_capture.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view message(reinterpret_cast<const char*>(data), size);
  vyo::web::cdp::ScreencastFrameRef ref;
  if (!vyo::web::cdp::FindScreencastFrame(message, &ref)) return 0;
  std::vector<uint8_t> image;
  (void)vyo::web::cdp::Base64Decode(ref.data, &image);
  const nlohmann::json json = nlohmann::json::parse(message, nullptr, false);
  if (json.is_discarded()) return 0;  // the browser only sends JSON: nothing to compare with
  const auto string_at = [](const nlohmann::json& j, const char* key) -> const nlohmann::json* {
    const auto it = j.is_object() ? j.find(key) : j.end();
    return it != j.end() && it->is_string() ? &*it : nullptr;
  };
  const auto* method = string_at(json, "method");
  const auto* session = string_at(json, "sessionId");
  const auto params = json.is_object() ? json.find("params") : json.end();
  if (method == nullptr || *method != "Page.screencastFrame" || session == nullptr || *session != ref.session ||
      params == json.end() || !params->is_object()) {
    __builtin_trap();
  }
  const auto* image_text = string_at(*params, "data");
  const auto ack = params->find("sessionId");
  if (image_text == nullptr || image_text->get<std::string>() != ref.data || ack == params->end() ||
      !ack->is_number_integer() || ack->get<int64_t>() != ref.ack_id) {
    __builtin_trap();
  }
  return 0;
}
