#include "tests/cloud/service.h"

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

namespace testcloud {
namespace {

using nlohmann::json;

std::string base64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

void send_json(httplib::Response& response, int status, const json& body) {
  response.status = status;
  response.set_content(body.dump(), "application/json");
}

// Only the target's own query steers the answer: httplib also files the
// fields of a form body among the parameters, and a registration body is
// echoed, not obeyed.
httplib::Params query_params(const httplib::Request& request) {
  httplib::Params params;
  size_t mark = request.target.find('?');
  if (mark != std::string::npos) httplib::detail::parse_query_text(request.target.substr(mark + 1), params);
  return params;
}

// Query parameters that steer the answer, in the rule form; false with
// *error for a value that does not parse.
bool query_overrides(const httplib::Request& request, json& o, std::string* error) {
  httplib::Params params = query_params(request);
  auto value = [&params](const char* name) -> const std::string* {
    auto it = params.find(name);
    return it == params.end() ? nullptr : &it->second;
  };
  o = json::object();
  try {
    if (auto v = value("_status")) o["status"] = std::stoi(*v);
    if (auto v = value("_delay_ms")) o["delay_ms"] = std::stoi(*v);
  } catch (const std::exception&) {
    *error = "bad _status or _delay_ms";
    return false;
  }
  if (auto v = value("_body")) o["body"] = *v;
  if (auto v = value("_fault")) o["fault"] = *v;
  if (auto v = value("_fill")) {
    // stoull would take "-1" and " 5".
    if (v->empty() || v->size() > 19 || v->find_first_not_of("0123456789") != std::string::npos) {
      *error = "bad _fill";
      return false;
    }
    o["fill"] = std::stoull(*v);
  }
  if (auto v = value("_alter")) {
    if (*v != "1" && *v != "0" && *v != "true" && *v != "false") {
      *error = "bad _alter";
      return false;
    }
    o["alter"] = *v == "1" || *v == "true";
  }
  if (auto v = value("_append")) o["append"] = *v;
  return true;
}

char altered(char c) { return static_cast<char>(c ^ 1); }

constexpr size_t kPiece = 64 * 1024;

// The body as sent, after the modifiers. A fill is produced piece by piece
// so that a body of hundreds of megabytes is never held whole.
struct Body {
  std::string text;  // the whole body, unless filled
  bool filled = false;
  uint64_t fill = 0;
  bool alter = false;
  std::string append;

  uint64_t size() const { return filled ? fill + append.size() : text.size(); }

  // Up to max bytes from offset.
  std::string read(uint64_t offset, uint64_t max) const {
    uint64_t end = std::min(size(), offset + max);
    if (offset >= end) return {};
    if (!filled) return text.substr(offset, end - offset);
    std::string out;
    out.reserve(end - offset);
    for (uint64_t at = offset; at < std::min(end, fill); ++at) out.push_back(static_cast<char>('A' + at % 26));
    if (alter && fill > offset && fill <= end) out.back() = altered(out.back());
    if (end > fill) {
      uint64_t from = std::max(offset, fill) - fill;
      out.append(append, from, end - fill - from);
    }
    return out;
  }
};

Body shape(const Reply& reply) {
  Body body;
  if (reply.fill) {
    body.filled = true;
    body.fill = *reply.fill;
    body.alter = reply.alter;
    body.append = reply.append;
    return body;
  }
  body.text = reply.body;
  if (reply.alter && !body.text.empty()) body.text.back() = altered(body.text.back());
  body.text += reply.append;
  return body;
}

void send_reply(const Reply& reply, httplib::Response& response) {
  if (reply.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(reply.delay_ms));
  response.status = reply.status;
  for (const auto& [name, value] : reply.headers) response.set_header(name, value);
  auto body = std::make_shared<Body>(shape(reply));
  // These statuses carry no body; sending one would desynchronise a client
  // that keeps the connection.
  if (reply.status == 204 || reply.status == 304) *body = Body{};
  if (reply.fault == "partial") {
    if (body->size() == 0) {
      *body = Body{};
      body->text = "truncated response body";
    }
    response.set_content_provider(body->size(), reply.content_type,
                                  [body](size_t offset, size_t, httplib::DataSink& sink) {
                                    uint64_t half = body->size() / 2;
                                    for (uint64_t at = offset; at < half; at += kPiece) {
                                      std::string piece = body->read(at, std::min(kPiece, half - at));
                                      if (!sink.write(piece.data(), piece.size())) break;
                                    }
                                    return false;  // closes the connection short of the length
                                  });
    return;
  }
  // httplib takes no provider for an empty body.
  if (!body->filled || body->size() == 0) {
    response.set_content(body->text, reply.content_type);
    return;
  }
  response.set_content_provider(body->size(), reply.content_type,
                                [body](size_t offset, size_t, httplib::DataSink& sink) {
                                  std::string piece = body->read(offset, kPiece);
                                  return sink.write(piece.data(), piece.size());
                                });
}

}  // namespace

bool apply_overrides(const json& o, Reply& reply, std::string* error) {
  try {
    if (o.contains("status")) reply.status = o.at("status").get<int>();
    if (o.contains("body")) reply.body = o.at("body").get<std::string>();
    if (o.contains("content_type")) reply.content_type = o.at("content_type").get<std::string>();
    if (o.contains("delay_ms")) reply.delay_ms = o.at("delay_ms").get<int>();
    if (o.contains("fault")) {
      reply.fault = o.at("fault").get<std::string>();
      if (!reply.fault.empty() && reply.fault != "partial") {
        if (error) *error = "unknown fault " + reply.fault;
        return false;
      }
    }
    if (o.contains("headers")) {
      for (const auto& [name, value] : o.at("headers").items()) reply.headers.emplace(name, value.get<std::string>());
    }
    if (o.contains("fill")) {
      const json& fill = o.at("fill");
      if (!fill.is_number_unsigned() && !(fill.is_number_integer() && fill.get<int64_t>() >= 0)) {
        if (error) *error = "fill is a byte count, not " + fill.dump();
        return false;
      }
      reply.fill = fill.get<uint64_t>();
    }
    if (o.contains("alter")) reply.alter = o.at("alter").get<bool>();
    if (o.contains("append")) reply.append = o.at("append").get<std::string>();
  } catch (const json::exception& e) {
    if (error) *error = e.what();
    return false;
  }
  return true;
}

void Service::add_endpoint(const std::string& path, Endpoint endpoint) { endpoints_[path] = std::move(endpoint); }

void Service::attach(httplib::Server& server, const std::string& scheme) {
  auto handler = [this, scheme](const httplib::Request& request, httplib::Response& response) {
    handle(scheme, request, response);
  };
  server.Get(".*", handler);
  server.Post(".*", handler);
  server.Put(".*", handler);
  server.Delete(".*", handler);
  server.Patch(".*", handler);
}

const Endpoint* Service::find_endpoint(const std::string& path) const {
  auto exact = endpoints_.find(path);
  if (exact != endpoints_.end()) return &exact->second;
  const Endpoint* best = nullptr;
  size_t best_length = 0;
  for (const auto& [pattern, endpoint] : endpoints_) {
    if (pattern.empty() || pattern.back() != '*') continue;
    size_t length = pattern.size() - 1;
    if (length >= best_length && path.compare(0, length, pattern, 0, length) == 0) {
      best = &endpoint;
      best_length = length;
    }
  }
  return best;
}

json Service::take_rule(const httplib::Request& request) {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto it = rules_.rbegin(); it != rules_.rend(); ++it) {
    if (it->path != request.path || (!it->method.empty() && it->method != request.method)) continue;
    json overrides = it->overrides;
    if (it->times > 0 && --it->times == 0) rules_.erase(std::next(it).base());
    return overrides;
  }
  return json::object();
}

void Service::record(const std::string& scheme, const httplib::Request& request) {
  json headers = json::object();
  for (const auto& [name, value] : request.headers) {
    std::string key = lower(name);
    // httplib files the connection's addresses among the headers.
    if (key == "remote_addr" || key == "remote_port" || key == "local_addr" || key == "local_port") continue;
    if (!headers.contains(key)) headers[key] = value;
  }
  json entry = {
      {"scheme", scheme},
      {"method", request.method},
      {"path", request.path},
      {"target", request.target},
      {"headers", headers},
      {"body_base64", base64(request.body)},
      {"body_size", request.body.size()},
      {"peer_addr", request.remote_addr},
      {"peer_port", request.remote_port},
  };
  // httplib parses a multipart body into its parts and leaves the body empty.
  if (!request.files.empty()) {
    json parts = json::array();
    for (const auto& [name, part] : request.files) {
      parts.push_back({{"name", part.name},
                       {"filename", part.filename},
                       {"content_type", part.content_type},
                       {"content_base64", base64(part.content)},
                       {"content_size", part.content.size()}});
    }
    entry["parts"] = parts;
  }
  std::lock_guard<std::mutex> guard(lock_);
  entry["seq"] = ++sequence_;
  records_.push_back(std::move(entry));
}

bool Service::control(const httplib::Request& request, httplib::Response& response) {
  const std::string& path = request.path;
  if (path.rfind("/_cloud/", 0) != 0) return false;
  std::lock_guard<std::mutex> guard(lock_);
  if (path == "/_cloud/info" && request.method == "GET") {
    send_json(response, 200, info_);
  } else if (path == "/_cloud/requests" && request.method == "GET") {
    json out = json::array();
    std::string only = request.has_param("path") ? request.get_param_value("path") : "";
    for (const auto& entry : records_) {
      if (only.empty() || entry["path"] == only) out.push_back(entry);
    }
    send_json(response, 200, out);
  } else if (path == "/_cloud/requests" && request.method == "DELETE") {
    records_ = json::array();
    send_json(response, 200, json::object());
  } else if (path == "/_cloud/rules" && request.method == "POST") {
    json rule = json::parse(request.body, nullptr, false);
    Reply probe;
    std::string error;
    if (!rule.is_object() || !rule.contains("path") || !rule["path"].is_string()) {
      send_json(response, 400, {{"error", "a rule is a JSON object with a path"}});
    } else if (!apply_overrides(rule, probe, &error)) {
      send_json(response, 400, {{"error", error}});
    } else {
      Rule r;
      r.path = rule["path"].get<std::string>();
      r.method = rule.value("method", "");
      r.times = rule.value("times", -1);
      rule.erase("path");
      rule.erase("method");
      rule.erase("times");
      r.overrides = rule;
      rules_.push_back(std::move(r));
      send_json(response, 200, json::object());
    }
  } else if (path == "/_cloud/rules" && request.method == "DELETE") {
    rules_.clear();
    send_json(response, 200, json::object());
  } else if (path == "/_cloud/reset" && request.method == "POST") {
    rules_.clear();
    records_ = json::array();
    send_json(response, 200, json::object());
  } else {
    send_json(response, 404, {{"error", "no such control request"}});
  }
  return true;
}

void Service::handle(const std::string& scheme, const httplib::Request& request, httplib::Response& response) {
  if (control(request, response)) return;
  record(scheme, request);
  Reply reply;
  if (const Endpoint* endpoint = find_endpoint(request.path)) {
    (*endpoint)(request, reply);
  } else {
    reply.status = 404;
    reply.body = "no such endpoint";
  }
  std::string error;
  json query;
  if (!apply_overrides(take_rule(request), reply, &error) || !query_overrides(request, query, &error) ||
      !apply_overrides(query, reply, &error)) {
    reply = Reply{};
    reply.status = 400;
    reply.body = error;
  }
  send_reply(reply, response);
}

}  // namespace testcloud
