#include "wire/response.h"

#include "text/encoding.h"

namespace p11agent {

std::string render_json(const Json& object) {
  // Texts reaching here are valid UTF-8; "replace" only guards against a slip.
  return object.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string error_response_text(std::string_view message) {
  // The object's two members in key order, without building the object.
  return "{\"error\":" + render_json(Json(message)) + ",\"ok\":false}";
}

std::string sign_answer_head(std::span<const std::uint8_t> cert_der, const std::string& module_path) {
  std::string text = render_json(
      Json{{"cert_der_b64", base64_encode(cert_der)}, {"module", module_path}, {"ok", true}, {"signature_hex", ""}});
  text.resize(text.size() - 2);  // the empty signature's closing quote and the closing brace
  return text;
}

std::string sign_answer(std::string_view head, std::span<const std::uint8_t> signature) {
  std::string text;
  text.reserve(head.size() + 2 * signature.size() + 2);
  text.append(head);
  append_hex(text, signature);
  text += "\"}";
  return text;
}

std::string unexpected_failure_text(const std::exception& thrown) {
  return std::string("internal error: ") + thrown.what();
}

}  // namespace p11agent
