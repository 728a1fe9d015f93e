#include "tests/cloud/service.h"

#include <openssl/evp.h>
#include <strings.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <ctime>
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

// Strict: whole groups of four, padding only at the end.
bool from_base64(const std::string& text, std::string* bytes) {
  size_t data_end = text.find_last_not_of('=') + 1;  // 0 when all padding
  size_t padding = text.size() - data_end;
  if (text.size() % 4 != 0 || padding > 2 || text.find_first_of("= \t\r\n") < data_end) return false;
  std::string out(3 * (text.size() / 4), '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (n < 0) return false;
  // EVP_DecodeBlock counts the padding as zero bytes.
  out.resize(static_cast<size_t>(n) - padding);
  *bytes = std::move(out);
  return true;
}

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

void send_json(httplib::Response& response, int status, const json& body) {
  response.status = status;
  response.set_content(body.dump(), "application/json");
}

// Only the target's own query steers the answer: a registration body whose
// fields look like the parameters is echoed, not obeyed.
httplib::Params query_params(const httplib::Request& request) {
  httplib::Params params;
  size_t mark = request.target.find('?');
  if (mark != std::string::npos) httplib::detail::parse_query_text(request.target.substr(mark + 1), params);
  return params;
}

// Digits only: stoull would take "-1" and " 5".
bool parse_count(const std::string& text, uint64_t* value) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  *value = std::stoull(text);
  return true;
}

bool parse_flag(const std::string& text, bool* value) {
  if (text != "1" && text != "0" && text != "true" && text != "false") return false;
  *value = text == "1" || text == "true";
  return true;
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
  if (auto v = value("_append")) o["append"] = *v;
  struct Count {
    const char* parameter;
    const char* key;
    uint64_t least;
    uint64_t most;
  };
  for (const Count& c :
       {Count{"_fill", "fill", 0, UINT64_MAX}, Count{"_truncate", "truncate", 0, UINT64_MAX},
        Count{"_chunk", "chunk", 1, UINT64_MAX}, Count{"_chunk_delay_ms", "chunk_delay_ms", 0, INT_MAX}}) {
    uint64_t n = 0;
    if (auto v = value(c.parameter)) {
      if (!parse_count(*v, &n) || n < c.least || n > c.most) {
        *error = std::string("bad ") + c.parameter;
        return false;
      }
      o[c.key] = n;
    }
  }
  for (const char* key : {"alter", "endless"}) {
    bool flag = false;
    if (auto v = value(("_" + std::string(key)).c_str())) {
      if (!parse_flag(*v, &flag)) {
        *error = "bad _" + std::string(key);
        return false;
      }
      o[key] = flag;
    }
  }
  return true;
}

char altered(char c) { return static_cast<char>(c ^ 1); }

constexpr size_t kPiece = 64 * 1024;

char pattern(uint64_t at) { return static_cast<char>('A' + at % 26); }

// Appends the pattern's bytes from..to, copied from a ready cycle rather than
// made one by one: a gigabyte fill goes out at the speed of the socket.
void append_pattern(std::string& out, uint64_t from, uint64_t to) {
  static const std::string cycle = [] {
    std::string text;
    for (uint64_t at = 0; at < kPiece + 26; ++at) text.push_back(pattern(at));
    return text;
  }();
  while (from < to) {
    uint64_t n = std::min<uint64_t>(to - from, kPiece);
    out.append(cycle, from % 26, n);
    from += n;
  }
}

// The body as sent, after the modifiers. A fill and the endless tail are
// produced piece by piece, so that neither is ever held whole.
struct Body {
  std::string text;  // the whole body, unless filled
  bool filled = false;
  uint64_t fill = 0;
  bool alter = false;
  std::string append;
  uint64_t limit = UINT64_MAX;  // truncate
  bool endless = false;

  // Without the endless tail.
  uint64_t size() const { return std::min(limit, filled ? fill + append.size() : text.size()); }

  // Up to max bytes from offset.
  std::string read(uint64_t offset, uint64_t max) const {
    uint64_t end = endless ? offset + max : std::min(size(), offset + max);
    if (offset >= end) return {};
    uint64_t stop = std::min(end, size());
    std::string out;
    out.reserve(end - offset);
    if (offset < stop && !filled) out = text.substr(offset, stop - offset);
    if (offset < stop && filled) {
      append_pattern(out, offset, std::min(stop, fill));
      if (alter && fill > offset && fill <= stop) out.back() = altered(out.back());
      if (stop > fill) {
        uint64_t from = std::max(offset, fill) - fill;
        out.append(append, from, stop - fill - from);
      }
    }
    append_pattern(out, std::max(offset, stop), end);
    return out;
  }
};

Body shape(const Reply& reply) {
  Body body;
  body.endless = reply.endless;
  if (reply.truncate) body.limit = *reply.truncate;
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
  if (body.text.size() > body.limit) body.text.resize(body.limit);
  return body;
}

// Each call writes one piece, after the pause for any but the first. A write
// fails once the client has gone, which ends an endless answer.
void send_chunked(std::shared_ptr<const Body> body, const Reply& reply, httplib::Response& response) {
  uint64_t piece = reply.chunk > 0 ? reply.chunk : kPiece;
  int delay_ms = reply.chunk_delay_ms;
  response.set_chunked_content_provider(
      reply.content_type, [body, piece, delay_ms](size_t offset, httplib::DataSink& sink) {
        if (!body->endless && offset >= body->size()) {
          sink.done();
          return true;
        }
        if (offset > 0 && delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        uint64_t end = body->endless ? offset + piece : std::min(body->size(), offset + piece);
        for (uint64_t at = offset; at < end;) {
          std::string bytes = body->read(at, std::min(kPiece, end - at));
          if (!sink.write(bytes.data(), bytes.size())) return false;
          at += bytes.size();
        }
        return true;
      });
}

std::string http_date(std::time_t when) {
  std::tm parts{};
  gmtime_r(&when, &parts);
  char text[64];
  std::strftime(text, sizeof(text), "%a, %d %b %Y %H:%M:%S GMT", &parts);
  return text;
}

void send_reply(const Reply& reply, httplib::Response& response) {
  if (reply.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(reply.delay_ms));
  response.status = reply.status;
  bool dated = false;
  for (const auto& [name, value] : reply.headers) {
    response.set_header(name, value);
    dated = dated || strcasecmp(name.c_str(), "Date") == 0;
  }
  // Every answer is dated, as real servers date theirs; a rule's Date wins.
  if (!dated) response.set_header("Date", http_date(std::time(nullptr)));
  auto body = std::make_shared<Body>(shape(reply));
  // These statuses carry no body; sending one would desynchronise a client
  // that keeps the connection.
  bool bodiless = reply.status == 204 || reply.status == 304;
  if (bodiless) *body = Body{};
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
  if (!bodiless && (reply.chunk > 0 || reply.endless)) {
    send_chunked(body, reply, response);
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
  // A non-negative integer of at least least and at most most.
  auto count = [&o, error](const char* key, uint64_t least, uint64_t most, const char* what, uint64_t* value) {
    const json& v = o.at(key);
    bool whole = v.is_number_unsigned() || (v.is_number_integer() && v.get<int64_t>() >= 0);
    if (!whole || v.get<uint64_t>() < least || v.get<uint64_t>() > most) {
      if (error) *error = std::string(key) + " is " + what + ", not " + v.dump();
      return false;
    }
    *value = v.get<uint64_t>();
    return true;
  };
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
    uint64_t n = 0;
    if (o.contains("fill")) {
      if (!count("fill", 0, UINT64_MAX, "a byte count", &n)) return false;
      reply.fill = n;
    }
    if (o.contains("alter")) reply.alter = o.at("alter").get<bool>();
    if (o.contains("append")) reply.append = o.at("append").get<std::string>();
    if (o.contains("truncate")) {
      if (!count("truncate", 0, UINT64_MAX, "a byte count", &n)) return false;
      reply.truncate = n;
    }
    if (o.contains("chunk")) {
      if (!count("chunk", 1, UINT64_MAX, "a piece size of at least 1 byte", &n)) return false;
      reply.chunk = n;
    }
    if (o.contains("chunk_delay_ms")) {
      if (!count("chunk_delay_ms", 0, INT_MAX, "a count of milliseconds", &n)) return false;
      reply.chunk_delay_ms = static_cast<int>(n);
    }
    if (o.contains("endless")) reply.endless = o.at("endless").get<bool>();
  } catch (const json::exception& e) {
    if (error) *error = e.what();
    return false;
  }
  if (reply.fault == "partial" && (reply.chunk > 0 || reply.endless)) {
    if (error) *error = "the partial fault announces a length: no chunk or endless with it";
    return false;
  }
  return true;
}

bool basic_credentials(const httplib::Request& request, std::string* user, std::string* password) {
  std::string value = request.get_header_value("Authorization");
  size_t space = value.find(' ');
  if (space == std::string::npos || lower(value.substr(0, space)) != "basic") return false;
  size_t start = value.find_first_not_of(' ', space);
  size_t end = value.find_last_not_of(' ');
  std::string text;
  if (start == std::string::npos || !from_base64(value.substr(start, end + 1 - start), &text)) return false;
  size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  *user = text.substr(0, colon);
  *password = text.substr(colon + 1);
  return true;
}

void Service::add_endpoint(const std::string& path, Endpoint endpoint) { endpoints_[path] = std::move(endpoint); }

void Service::attach(httplib::Server& server, const std::string& scheme) {
  // A body is read here rather than by httplib, which files multipart parts
  // by name and so loses the order they were sent in.
  auto reading = [this, scheme](const httplib::Request& request, httplib::Response& response,
                                const httplib::ContentReader& content_reader) {
    httplib::Request full = request;
    httplib::MultipartFormDataItems parts;
    bool read = false;
    if (request.is_multipart_form_data()) {
      read = content_reader(
          [&parts](const httplib::MultipartFormData& part) {
            parts.push_back(part);
            return true;
          },
          [&parts](const char* data, size_t size) {
            if (parts.empty()) return false;
            parts.back().content.append(data, size);
            return true;
          });
      for (const auto& part : parts) full.files.emplace(part.name, part);
    } else {
      read = content_reader([&full](const char* data, size_t size) {
        full.body.append(data, size);
        return true;
      });
    }
    if (!read) {
      if (request.path.rfind("/_cloud/", 0) != 0) record(scheme, full, parts);
      Reply refusal;
      refusal.status = 400;
      refusal.body = "unreadable request body";
      send_reply(refusal, response);
      return;
    }
    handle(scheme, full, parts, response);
  };
  auto handler = [this, scheme](const httplib::Request& request, httplib::Response& response) {
    handle(scheme, request, {}, response);
  };
  server.Get(".*", handler);
  server.Post(".*", reading);
  server.Put(".*", reading);
  server.Delete(".*", handler);
  server.Patch(".*", reading);
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

void Service::record(const std::string& scheme, const httplib::Request& request,
                     const httplib::MultipartFormDataItems& parts) {
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
  // A multipart body is kept as its parts; the body stays empty.
  if (!parts.empty()) {
    json list = json::array();
    for (const auto& part : parts) {
      list.push_back({{"name", part.name},
                      {"filename", part.filename},
                      {"content_type", part.content_type},
                      {"content_base64", base64(part.content)},
                      {"content_size", part.content.size()}});
    }
    entry["parts"] = list;
  }
  std::string user;
  std::string password;
  if (basic_credentials(request, &user, &password)) {
    entry["basic_user"] = user;
    entry["basic_password"] = password;
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

void Service::handle(const std::string& scheme, const httplib::Request& request,
                     const httplib::MultipartFormDataItems& parts, httplib::Response& response) {
  if (control(request, response)) return;
  record(scheme, request, parts);
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
