#include "tests/cloud/service.h"

#include <openssl/evp.h>

#include <chrono>
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

// Query parameters that steer the answer, in the rule form.
json query_overrides(const httplib::Request& request) {
  json o = json::object();
  try {
    if (request.has_param("_status")) o["status"] = std::stoi(request.get_param_value("_status"));
    if (request.has_param("_delay_ms")) o["delay_ms"] = std::stoi(request.get_param_value("_delay_ms"));
  } catch (const std::exception&) {
    o["status"] = 400;
    o["body"] = "bad _status or _delay_ms";
    return o;
  }
  if (request.has_param("_body")) o["body"] = request.get_param_value("_body");
  if (request.has_param("_fault")) o["fault"] = request.get_param_value("_fault");
  return o;
}

void send_reply(const Reply& reply, httplib::Response& response) {
  if (reply.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(reply.delay_ms));
  response.status = reply.status;
  for (const auto& [name, value] : reply.headers) response.set_header(name, value);
  if (reply.fault == "partial") {
    auto body = std::make_shared<std::string>(reply.body.empty() ? "truncated response body" : reply.body);
    response.set_content_provider(body->size(), reply.content_type,
                                  [body](size_t offset, size_t, httplib::DataSink& sink) {
                                    if (offset == 0) sink.write(body->data(), body->size() / 2);
                                    return false;  // closes the connection short of the length
                                  });
    return;
  }
  response.set_content(reply.body, reply.content_type);
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
  if (!apply_overrides(take_rule(request), reply, &error) ||
      !apply_overrides(query_overrides(request), reply, &error)) {
    reply = Reply{};
    reply.status = 400;
    reply.body = error;
  }
  send_reply(reply, response);
}

}  // namespace testcloud
