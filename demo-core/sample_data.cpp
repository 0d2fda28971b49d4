#include "sample_data.h"

#include <array>
#include <cstdio>

#include "text.h"

namespace demo {
namespace {

constexpr const char* kAppAgent =
    "NimbusMart/5.12.0 (iPhone15,3; iOS 17.4.1; Scale/3.00) NimbusNet/2.8";
constexpr const char* kWebAgent =
    "Mozilla/5.0 (iPhone; CPU iPhone OS 17_4_1) Mobile/15E148 NimbusMart/5.12.0 InAppWebView";
constexpr const char* kTabletAgent =
    "Mozilla/5.0 (iPad; CPU OS 17_3) Mobile/15E148 NimbusMart/5.12.0 InAppWebView";
constexpr const char* kToken =
    "eyJhbGciOiJIUzI1NiIsInR5cCI6IkpXVCJ9.eyJzdWIiOiJ1c3JfOGYyYTkxIiwic2NvcGUiOiJzaG9wcGVyIiwiZXhw"
    "IjoxNzEwMDAwMDAwfQ.q0Zk3v9pX1bq7mZr2s8YVwL4nT6hJcUeA5dRfGk0oIw";
// A 1x1 PNG, enough to be a real image.
constexpr const char* kPngB64 =
    "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8BQDwAEhQGAhKmMIQAAAABJRU5ErkJggg"
    "==";

std::uint64_t mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// A request id in the usual 8-4-4-4-12 hex form, stable for a given number.
std::string request_id(std::uint64_t n) {
  char buf[40];
  std::uint64_t a = mix(n), b = mix(n + 7919);
  std::snprintf(buf, sizeof buf, "%08x-%04x-4%03x-a%03x-%012llx", static_cast<unsigned>(a >> 32),
                static_cast<unsigned>(a >> 16 & 0xFFFF), static_cast<unsigned>(a >> 4 & 0xFFF),
                static_cast<unsigned>(b >> 52 & 0xFFF),
                static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFull));
  return buf;
}

bool is_api_host(const std::string& host) {
  return host == "api.nimbusmart.test" || host == "auth.nimbusmart.test";
}

std::string accept_for(const std::string& content_type) {
  if (content_type.rfind("image/", 0) == 0) return "image/webp,image/png,image/*;q=0.8";
  if (content_type == "text/html; charset=utf-8") {
    return "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8";
  }
  if (content_type.rfind("application/json", 0) == 0 || content_type.empty()) {
    return "application/json";
  }
  return "*/*";
}

std::string cache_control_for(const std::string& host) {
  if (host == "cdn.nimbusmart.test" || host == "media.nimbusmart.test") {
    return "public, max-age=604800, immutable";
  }
  return "private, no-store";
}

// One exchange with the headers an app and its servers would send.
Flow exchange(std::uint64_t ts, std::string method, std::string url_scheme, std::string host,
              std::string path, std::uint64_t status, std::uint64_t duration_ms,
              std::string content_type, std::string body) {
  Flow f;
  f.ts = ts;
  f.method = std::move(method);
  f.scheme = std::move(url_scheme);
  f.host = std::move(host);
  f.path = std::move(path);
  f.status = status;
  f.duration_ms = duration_ms;
  f.content_type = std::move(content_type);
  std::string rid = request_id(ts);
  f.req_headers = {{"host", f.host},
                   {"accept", accept_for(f.content_type)},
                   {"accept-language", "en-US,en;q=0.9"},
                   {"accept-encoding", "gzip, deflate, br"},
                   {"user-agent", kAppAgent}};
  if (is_api_host(f.host)) {
    f.req_headers.emplace_back("authorization", std::string("Bearer ") + kToken);
    f.req_headers.emplace_back("x-request-id", rid);
  }
  f.resp_headers = {{"date", http_date(ts + duration_ms)}};
  if (!f.content_type.empty()) f.resp_headers.emplace_back("content-type", f.content_type);
  f.resp_headers.emplace_back("content-length", std::to_string(body.size()));
  f.resp_headers.emplace_back("cache-control", cache_control_for(f.host));
  if (is_api_host(f.host)) f.resp_headers.emplace_back("x-request-id", rid);
  if (f.scheme == "https") {
    f.resp_headers.emplace_back("strict-transport-security", "max-age=31536000; includeSubDomains");
  }
  f.resp_size = body.size();
  f.resp_body.total = body.size();
  f.resp_body.bytes = std::move(body);
  return f;
}

Flow api(std::uint64_t ts, std::string method, std::string path, std::uint64_t status,
         std::uint64_t duration_ms, std::string body) {
  return exchange(ts, std::move(method), "https", "api.nimbusmart.test", std::move(path), status,
                  duration_ms, "application/json; charset=utf-8", std::move(body));
}

void with_request_body(Flow& f, std::string body, std::string content_type = "application/json") {
  f.req_headers.emplace_back("content-type", content_type);
  f.req_headers.emplace_back("content-length", std::to_string(body.size()));
  f.req_body.total = body.size();
  f.req_body.bytes = std::move(body);
}

// A full catalogue, several MB of JSON in one response.
std::string catalog_json() {
  static constexpr std::array<const char*, 8> kKinds = {
      "Rain Jacket",   "Trail Runner", "Merino Tee",  "Daypack 22L",
      "Fleece Hoodie", "Chino Shorts", "Wool Beanie", "Packable Down Vest"};
  static constexpr std::array<const char*, 6> kColors = {"Slate", "Forest", "Sand",
                                                         "Navy",  "Ember",  "Chalk"};
  std::string out = "{\"locale\":\"en-US\",\"currency\":\"USD\",\"items\":[";
  char buf[320];
  for (unsigned i = 0; i < 17500; ++i) {
    int n = std::snprintf(
        buf, sizeof buf,
        "%s{\"sku\":\"NM-%06u\",\"name\":\"%s\",\"color\":\"%s\",\"priceCents\":%u,"
        "\"inStock\":%s,\"rating\":%u.%u,\"reviewCount\":%u,"
        "\"image\":\"https://cdn.nimbusmart.test/img/products/nm-%06u@3x.png\",\"tags\":[\"%s\"]}",
        i == 0 ? "" : ",", 100000 + i, kKinds[i % kKinds.size()], kColors[i % kColors.size()],
        1999 + (i * 37) % 18000, i % 11 == 0 ? "false" : "true", 3 + i % 3, i % 10, (i * 13) % 2400,
        100000 + i, i % 5 == 0 ? "sale" : "new-season");
    out.append(buf, static_cast<std::size_t>(n));
  }
  out += "]}";
  return out;
}

std::string orders_csv(std::size_t rows) {
  std::string out = "order_id,created_at,status,total,currency,items,store\n";
  char buf[160];
  for (std::size_t i = 0; i < rows; ++i) {
    int n = std::snprintf(
        buf, sizeof buf, "7781-%05zu,2024-%02zu-%02zuT%02zu:%02zu:00Z,%s,%zu.%02zu,USD,%zu,%s\n", i,
        1 + i % 3, 1 + i % 28, i % 24, i % 60, i % 7 == 0 ? "returned" : "delivered", 12 + i % 240,
        i % 100, 1 + i % 6, i % 4 == 0 ? "online" : "store-berlin-mitte");
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

constexpr const char* kDealsHtml = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1, viewport-fit=cover">
<title>Deals — NimbusMart</title>
<link rel="stylesheet" href="https://cdn.nimbusmart.test/web/app.3f9a1c.css">
<script defer src="https://cdn.nimbusmart.test/web/deals.8b2e41.js"></script>
</head>
<body class="in-app">
<main id="deals">
<h1>Spring sale: up to 40% off</h1>
<section class="grid" data-endpoint="/v2/deals?page=1"></section>
</main>
</body>
</html>
)";

void add_flows(Capture& c, std::uint64_t t0) {
  std::string png = *base64_decode(kPngB64);
  auto at = [t0](std::uint64_t seconds, std::uint64_t ms) { return t0 + seconds * 1000 + ms; };

  c.add_flow(exchange(
      at(0, 112), "GET", "https", "config.nimbusmart.test",
      "/v1/app-config?platform=ios&version=5.12.0", 200, 84, "application/json; charset=utf-8",
      R"({"minSupportedVersion":"5.8.0","apiBase":"https://api.nimbusmart.test","features":{"newCheckout":true,"arSizing":false},"telemetry":{"endpoint":"https://telemetry.nimbusmart.test/v1/batch","flushSeconds":30}})"));
  c.add_flow(api(
      at(0, 391), "GET", "/v2/feature-flags", 200, 61,
      R"({"flags":{"checkout_v3":true,"reviews_photos":true,"wishlist_sync":false},"bucket":42})"));

  Flow bad_login = exchange(
      at(6, 804), "POST", "https", "auth.nimbusmart.test", "/v1/auth/login", 401, 233,
      "application/json; charset=utf-8",
      R"({"error":"invalid_credentials","message":"Email or password is incorrect.","attemptsLeft":4})");
  with_request_body(
      bad_login,
      R"({"email":"dana.kowalski@example.test","password":"hunter22","deviceName":"Dana's iPhone"})");
  bad_login.resp_headers.emplace_back("www-authenticate",
                                      "Bearer realm=\"nimbusmart\", error=\"invalid_token\"");
  c.add_flow(std::move(bad_login));

  Flow login = exchange(
      at(14, 20), "POST", "https", "auth.nimbusmart.test", "/v1/auth/login", 200, 287,
      "application/json; charset=utf-8",
      std::string(R"({"accessToken":")") + kToken +
          R"(","refreshToken":"rt_9c1f0b7e44a24d0e8f1a2b3c","expiresIn":3600,"userId":"usr_8f2a91"})");
  with_request_body(
      login,
      R"({"email":"dana.kowalski@example.test","password":"hunter2!","deviceName":"Dana's iPhone"})");
  login.resp_headers.emplace_back(
      "set-cookie", "nm_session=s%3A7f3c9a2e41b0; Path=/; Secure; HttpOnly; SameSite=Lax");
  c.add_flow(std::move(login));

  c.add_flow(api(
      at(14, 402), "GET", "/v2/me", 200, 48,
      R"({"id":"usr_8f2a91","firstName":"Dana","email":"dana.kowalski@example.test","loyalty":{"tier":"gold","points":1840}})"));
  c.add_flow(api(
      at(14, 455), "GET", "/v2/home/feed?page=1", 200, 142,
      R"({"page":1,"sections":[{"type":"banner","image":"https://cdn.nimbusmart.test/img/banners/spring-sale@3x.png"},{"type":"carousel","title":"Picked for you","items":["NM-104233","NM-100871","NM-102210"]}],"next":"/v2/home/feed?page=2"})"));
  c.add_flow(exchange(at(14, 690), "GET", "https", "cdn.nimbusmart.test",
                      "/img/banners/spring-sale@3x.png", 200, 38, "image/png", png));
  c.add_flow(exchange(at(14, 712), "GET", "https", "cdn.nimbusmart.test",
                      "/img/products/nm-104233@3x.png", 200, 41, "image/png", png));
  c.add_flow(api(at(15, 5), "GET", "/v2/catalog/full?locale=en-US", 200, 1840, catalog_json()));

  Flow unavailable = api(
      at(21, 330), "GET", "/v2/recommendations?context=home", 503, 3004,
      R"({"error":"upstream_unavailable","message":"Recommendation service timed out","retryAfter":5})");
  unavailable.resp_headers.emplace_back("retry-after", "5");
  c.add_flow(std::move(unavailable));
  c.add_flow(api(
      at(29, 401), "GET", "/v2/recommendations?context=home", 200, 212,
      R"({"items":[{"sku":"NM-100871","score":0.91},{"sku":"NM-102210","score":0.87},{"sku":"NM-109954","score":0.66}]})"));

  Flow failed = exchange(at(31, 2), "POST", "https", "telemetry.nimbusmart.test", "/v1/batch", 0,
                         10012, "", "");
  with_request_body(
      failed,
      R"({"events":[{"name":"app_open","ts":1},{"name":"login_failed","ts":2},{"name":"login_ok","ts":3}]})");
  failed.status.reset();
  failed.completed = false;
  failed.error = "The network connection was lost (connection reset by peer)";
  failed.resp_headers.clear();
  c.add_flow(std::move(failed));

  Flow redirect = exchange(at(40, 118), "GET", "http", "nimbusmart.test", "/app/deals", 301, 27,
                           "text/html; charset=utf-8",
                           "<html><body>Moved to <a href=\"https://www.nimbusmart.test/app/deals\">"
                           "https://www.nimbusmart.test/app/deals</a></body></html>\n");
  redirect.req_headers[4].second = kWebAgent;
  redirect.resp_headers.emplace_back("location", "https://www.nimbusmart.test/app/deals");
  c.add_flow(std::move(redirect));
  Flow page = exchange(at(40, 190), "GET", "https", "www.nimbusmart.test", "/app/deals", 200, 96,
                       "text/html; charset=utf-8", kDealsHtml);
  page.req_headers[4].second = kWebAgent;
  c.add_flow(std::move(page));

  c.add_flow(api(
      at(52, 640), "GET", "/v2/products/104233", 200, 77,
      R"({"sku":"NM-104233","name":"Rain Jacket","color":"Slate","priceCents":12900,"sizes":["S","M","L","XL"],"inStock":true})"));
  c.add_flow(api(
      at(52, 702), "GET", "/v2/products/104233/reviews?limit=20", 200, 133,
      R"({"total":212,"average":4.6,"reviews":[{"author":"M.","stars":5,"text":"Kept me dry on a 3 h hike."},{"author":"J. R.","stars":4,"text":"Runs a little large."}]})"));
  Flow add_item = api(
      at(61, 12), "POST", "/v2/cart/items", 201, 119,
      R"({"cartId":"cart_55a1","items":[{"lineId":88123,"sku":"NM-104233","size":"M","qty":1}],"subtotalCents":12900})");
  with_request_body(add_item, R"({"sku":"NM-104233","size":"M","qty":1})");
  c.add_flow(std::move(add_item));
  c.add_flow(api(
      at(61, 260), "GET", "/v2/cart", 200, 54,
      R"({"cartId":"cart_55a1","items":[{"lineId":88123,"sku":"NM-104233","size":"M","qty":1}],"subtotalCents":12900,"shippingCents":0})"));

  // A host outside the decrypt list: only the tunnel is seen.
  Flow tunnel =
      exchange(at(75, 540), "CONNECT", "https", "maps.pathwise.test", "", 200, 30412, "", "");
  tunnel.req_headers = {{"host", "maps.pathwise.test:443"}, {"user-agent", kAppAgent}};
  tunnel.resp_headers.clear();
  c.add_flow(std::move(tunnel));

  Flow video = exchange(at(88, 3), "GET", "https", "media.nimbusmart.test",
                        "/video/spring-promo-1080p.mp4", 200, 6120, "video/mp4", "");
  video.resp_size = 48234112;
  video.resp_body = {"", 48234112, false, true};
  video.resp_headers[2].second = "48234112";
  c.add_flow(std::move(video));

  std::string csv = orders_csv(40000);
  Flow export_flow = api(at(120, 77), "GET", "/v2/orders/export.csv?range=90d", 200, 2210, "");
  export_flow.content_type = "text/csv; charset=utf-8";
  export_flow.resp_headers[1].second = export_flow.content_type;
  export_flow.resp_headers[2].second = std::to_string(csv.size());
  export_flow.resp_size = csv.size();
  export_flow.resp_body = {csv.substr(0, 256 * 1024), csv.size(), true, false};
  c.add_flow(std::move(export_flow));

  Flow prefs = api(at(133, 480), "PUT", "/v2/me/preferences", 204, 66, "");
  with_request_body(prefs, R"({"newsletter":false,"pushDeals":true,"sizeProfile":{"tops":"M"}})");
  prefs.content_type.clear();
  prefs.resp_headers.erase(prefs.resp_headers.begin() + 1);
  c.add_flow(std::move(prefs));

  c.add_flow(api(
      at(190, 10), "GET", "/v2/checkout/session", 200, 158,
      R"({"sessionId":"cs_1b7e","step":"shipping","addressRequired":true,"paymentMethods":["card","wallet"]})"));
  Flow intent = api(
      at(212, 905), "POST", "/v2/checkout/payment-intents", 200, 640,
      R"({"intentId":"pi_3c88f1","status":"requires_confirmation","amountCents":12900,"currency":"USD"})");
  with_request_body(intent, R"({"sessionId":"cs_1b7e","method":"card","cardLast4":"4242"})");
  c.add_flow(std::move(intent));
  c.add_flow(api(at(240, 330), "GET", "/v2/orders?status=open", 200, 91,
                 R"({"orders":[{"id":"7781-2230","status":"shipped","eta":"2024-03-08"}]})"));
  c.add_flow(api(at(241, 12), "GET", "/v2/orders/7781-2231", 404, 39,
                 R"({"error":"not_found","message":"Order 7781-2231 does not exist"})"));
  c.add_flow(api(at(266, 401), "DELETE", "/v2/cart/items/88123", 204, 72, ""));
  c.add_flow(api(
      at(300, 818), "GET", "/v2/search?q=rain%20jacket&sort=relevance", 200, 187,
      R"({"query":"rain jacket","total":37,"items":[{"sku":"NM-104233"},{"sku":"NM-108812"},{"sku":"NM-101174"}]})"));
  Flow refresh = exchange(at(412, 66), "POST", "https", "auth.nimbusmart.test", "/v1/auth/refresh",
                          200, 121, "application/json; charset=utf-8",
                          std::string(R"({"accessToken":")") + kToken + R"(","expiresIn":3600})");
  with_request_body(refresh, R"({"refreshToken":"rt_9c1f0b7e44a24d0e8f1a2b3c"})");
  c.add_flow(std::move(refresh));
  Flow not_modified = api(at(455, 233), "GET", "/v2/notifications?unread=true", 304, 35, "");
  not_modified.req_headers.emplace_back("if-none-match", "W/\"5d1-9c3e\"");
  not_modified.resp_headers.emplace_back("etag", "W/\"5d1-9c3e\"");
  c.add_flow(std::move(not_modified));
  c.add_flow(api(
      at(502, 7), "GET", "/v2/stores/nearby?lat=52.5208&lng=13.4094&radiusKm=5", 200, 204,
      R"({"stores":[{"id":"store-berlin-mitte","name":"NimbusMart Mitte","distanceKm":0.8,"openUntil":"20:00"}]})"));
  Flow batch = exchange(at(531, 450), "POST", "https", "telemetry.nimbusmart.test", "/v1/batch",
                        202, 58, "application/json", R"({"accepted":9})");
  with_request_body(
      batch,
      R"({"events":[{"name":"app_open","ts":1},{"name":"login_failed","ts":2},{"name":"login_ok","ts":3},{"name":"view_item","sku":"NM-104233"},{"name":"add_to_cart","sku":"NM-104233"},{"name":"checkout_start"},{"name":"search","q":"rain jacket"},{"name":"view_stores"},{"name":"app_background"}]})");
  c.add_flow(std::move(batch));
  c.add_flow(api(
      at(560, 940), "GET", "/v2/me/addresses", 200, 63,
      R"({"addresses":[{"id":"adr_1","label":"Home","city":"Berlin","postcode":"10115","default":true}]})"));
  c.add_flow(api(
      at(588, 120), "GET", "/v2/home/feed?page=2", 200, 131,
      R"({"page":2,"sections":[{"type":"grid","title":"New this week","items":["NM-117730","NM-117731"]}],"next":null})"));
}

ConsoleMessage message(std::uint64_t at, const char* kind, const char* level, std::string text,
                       const std::string& page_url, std::uint64_t nav_gen, std::string source,
                       std::uint64_t line) {
  ConsoleMessage m;
  m.received_at = at;
  m.kind = kind;
  m.level = level;
  m.text = std::move(text);
  m.page_url = page_url;
  m.nav_gen = nav_gen;
  m.source_url = std::move(source);
  m.line = line;
  return m;
}

Page page(std::string handle, std::string title, std::string url, std::string state,
          const char* agent) {
  Page p;
  p.handle = std::move(handle);
  p.title = std::move(title);
  p.url = std::move(url);
  p.state = std::move(state);
  p.user_agent = agent;
  return p;
}

void add_devices(Capture& c, std::uint64_t t0) {
  Device phone{"00008110-000A4C2E1E38801E", "Dana's iPhone", {}};
  phone.apps.push_back(
      {"test.nimbusmart.shopper",
       {page("pg-3f9a1c07", "Deals — NimbusMart", "https://www.nimbusmart.test/app/deals", "active",
             kWebAgent),
        page("pg-3f9a1c08", "Returns and refunds | NimbusMart Help",
             "https://help.nimbusmart.test/articles/returns", "background", kWebAgent)}});
  phone.apps.push_back({"test.pathwise.maps",
                        {page("pg-51b2e4d0", "Pathwise Maps",
                              "https://maps.pathwise.test/?q=coffee", "suspended", kWebAgent)}});
  Device tablet{"00008103-001C59E20A12001E", "QA iPad", {}};
  tablet.apps.push_back(
      {"test.nimbusmart.shopper",
       {page("pg-7c04d911", "Checkout — NimbusMart", "https://www.nimbusmart.test/app/checkout",
             "active", kTabletAgent)}});
  c.devices = {std::move(phone), std::move(tablet)};

  const std::string lobby = "https://www.nimbusmart.test/app/lobby";
  const std::string deals = "https://www.nimbusmart.test/app/deals";
  const std::string js = "https://cdn.nimbusmart.test/web/deals.8b2e41.js";
  Page& d = *c.find_page("pg-3f9a1c07");
  auto at = [t0](std::uint64_t seconds, std::uint64_t ms) { return t0 + seconds * 1000 + ms; };
  c.add_console(d, message(at(38, 20), "console", "debug", "[router] boot lobby (build 5.12.0-411)",
                           lobby, 1, "https://cdn.nimbusmart.test/web/app.3f9a1c.js", 12));
  c.add_console(d, message(at(38, 95), "console", "log", "Bridge ready: nativeVersion=5.12.0",
                           lobby, 1, "https://cdn.nimbusmart.test/web/app.3f9a1c.js", 88));
  c.add_console(d, message(at(40, 250), "console", "info", "Navigating to /app/deals", lobby, 1,
                           "https://cdn.nimbusmart.test/web/app.3f9a1c.js", 141));
  c.add_console(d,
                message(at(40, 331), "console", "debug", "[deals] hydrate start", deals, 2, js, 3));
  c.add_console(d, message(at(40, 402), "console", "log", "Deals loaded: 24 items, page 1", deals,
                           2, js, 57));
  c.add_console(d, message(at(40, 418), "console", "warn",
                           "Image https://cdn.nimbusmart.test/img/products/nm-100871@3x.png is 1.8 "
                           "MB; consider a smaller rendition",
                           deals, 2, js, 212));
  c.add_console(
      d, message(at(41, 7), "network", "error",
                 "Failed to load resource: the server responded with a status of 503 () "
                 "(recommendations, line 0)",
                 deals, 2, "https://api.nimbusmart.test/v2/recommendations?context=home", 0));
  c.add_console(d, message(at(41, 12), "exception", "error",
                           "TypeError: undefined is not an object (evaluating 'recs.items.length')",
                           deals, 2, js, 318));
  c.add_console(d, message(at(49, 500), "console", "info", "Retrying recommendations in 5 s", deals,
                           2, js, 322));
  c.add_console(
      d, message(at(50, 640), "console", "log", "Recommendations: 3 items", deals, 2, js, 330));
  c.add_console(d, message(at(61, 300), "console", "warn", "[cart] optimistic update took 248 ms",
                           deals, 2, js, 401));
  c.add_console(d, message(at(62, 1), "console", "debug", "[analytics] queued add_to_cart", deals,
                           2, js, 455));

  Page& help = *c.find_page("pg-3f9a1c08");
  const std::string returns = "https://help.nimbusmart.test/articles/returns";
  c.add_console(help, message(at(140, 3), "console", "log", "Help center ready", returns, 1,
                              "https://help.nimbusmart.test/static/help.js", 9));
  c.add_console(help, message(at(140, 90), "console", "warn",
                              "Deprecated: use HelpWidget.open() instead of openHelp()", returns, 1,
                              "https://help.nimbusmart.test/static/help.js", 77));
  c.add_console(help, message(at(141, 4), "console", "error",
                              "Chat widget failed to connect: WebSocket closed with code 1006",
                              returns, 1, "https://help.nimbusmart.test/static/chat.js", 203));

  Page& maps = *c.find_page("pg-51b2e4d0");
  const std::string map_url = "https://maps.pathwise.test/?q=coffee";
  c.add_console(maps, message(at(75, 600), "console", "info", "Tiles: using vector style v9",
                              map_url, 1, "https://maps.pathwise.test/js/map.js", 1402));
  c.add_console(maps, message(at(76, 10), "console", "warn",
                              "Geolocation permission not granted; centering on IP location",
                              map_url, 1, "https://maps.pathwise.test/js/map.js", 1520));

  Page& checkout = *c.find_page("pg-7c04d911");
  const std::string co = "https://www.nimbusmart.test/app/checkout";
  const std::string cojs = "https://cdn.nimbusmart.test/web/checkout.c71d02.js";
  c.add_console(checkout, message(at(190, 200), "console", "log", "Checkout step: shipping", co, 1,
                                  cojs, 40));
  c.add_console(checkout, message(at(191, 30), "console", "debug",
                                  "Address form prefilled from profile", co, 1, cojs, 96));
  c.add_console(checkout, message(at(212, 950), "console", "info",
                                  "Payment intent pi_3c88f1 created", co, 1, cojs, 188));
  c.add_console(checkout, message(at(213, 400), "console", "warn",
                                  "3-D Secure frame took 1200 ms to load", co, 1, cojs, 231));
  c.add_console(checkout,
                message(at(214, 2), "exception", "error",
                        "Unhandled Promise Rejection: Error: card_declined", co, 1, cojs, 260));
}

Json evidence(const char* code) {
  return {{"kind", "evidence"}, {"code", code}};
}

// `would_decide` is always an array: a one-element braced list of a JSON
// value is a copy of it under some compilers, so callers say Json::array.
Json unknown(Json params, Json would_decide) {
  return {{"kind", "unknown"},
          {"question", "capture_path.device_routing_now"},
          {"params", std::move(params)},
          {"wouldDecide", std::move(would_decide)}};
}

// Every code and question of the report, each with the params it reads.
Json findings_report(std::uint64_t now, std::uint64_t t0) {
  auto fact = [](const char* kind, const char* code, Json params) {
    return Json{{"kind", kind}, {"code", code}, {"params", std::move(params)}};
  };
  Json items = Json::array();
  items.push_back(fact("fact", "capture_path.proxy_endpoints_ready",
                       {{"proxyPort", std::uint64_t{9090}}, {"configPort", std::uint64_t{9091}}}));
  items.push_back(fact("fact", "capture_path.profile_pushed",
                       {{"at", t0 - 3600000}, {"generation", std::uint64_t{3}}}));
  items.push_back(fact("fact", "capture_path.pac_fetched",
                       {{"at", t0 - 3540000}, {"isLatestGeneration", true}}));
  items.push_back(fact("fact", "capture_path.ca_downloaded", {{"at", t0 - 3500000}}));
  items.push_back(fact("fact", "capture_path.flows_in_window",
                       {{"count", std::uint64_t{3}},
                        {"windowMs", std::uint64_t{60000}},
                        {"recordingPaused", false}}));
  items.push_back(fact("finding", "capture_path.non_loopback_traffic_observed",
                       {{"count", std::uint64_t{34}}, {"lastAt", now - 12000}}));
  items.push_back(fact("finding", "capture_path.pac_fetch_not_observed", Json::object()));
  items.push_back(fact("finding", "capture_path.ca_download_not_observed", Json::object()));
  items.push_back(fact("finding", "capture_path.profile_push_not_observed", Json::object()));
  // One open question seen from each of its reasons, so that every sentence
  // the server knows for it can be read in one report.
  items.push_back(unknown({{"reason", "observing"}, {"observedForMs", std::uint64_t{42999}}},
                          Json::array({evidence("capture_path.new_remote_flow_in_window")})));
  items.push_back(
      unknown({{"reason", "observing"}, {"observedForMs", nullptr}, {"recordingPaused", true}},
              Json::array({evidence("capture_path.new_remote_flow_in_window")})));
  items.push_back(unknown({{"reason", "stale_presence"}, {"lastRemoteAt", now - 185000}},
                          Json::array({evidence("capture_path.device_side_network_check"),
                                       evidence("capture_path.pac_refetch_after_wifi_cycle")})));
  items.push_back(unknown({{"reason", "profile_not_pushed"}},
                          Json::array({evidence("capture_path.push_profile_then_observe")})));
  items.push_back(
      unknown({{"reason", "no_remote_traffic_observed"}, {"observedForMs", std::uint64_t{600000}}},
              Json::array({evidence("capture_path.device_side_network_check"),
                           evidence("capture_path.pac_refetch_after_wifi_cycle"),
                           evidence("capture_path.push_profile_then_observe")})));
  return {{"generatedAt", now}, {"items", std::move(items)}};
}

Capture base_capture(std::uint64_t now_ms, std::uint64_t t0) {
  Capture c;
  c.proxy_port = 9090;
  c.decrypt_hosts = {"api.nimbusmart.test", "auth.nimbusmart.test", "cdn.nimbusmart.test",
                     "config.nimbusmart.test", "www.nimbusmart.test"};
  add_devices(c, t0);
  c.findings = findings_report(now_ms, t0);
  return c;
}

// The session starts ten minutes before now.
std::uint64_t session_start(std::uint64_t now_ms) {
  return now_ms - 600000;
}

}  // namespace

Capture sample_capture(std::uint64_t now_ms) {
  Capture c = base_capture(now_ms, session_start(now_ms));
  add_flows(c, session_start(now_ms));
  return c;
}

void add_live_activity(Capture& c, std::uint64_t now_ms, std::uint64_t tick) {
  switch (tick % 4) {
    case 0:
      c.add_flow(api(now_ms, "GET", "/v2/cart", 200, 40 + tick % 30,
                     R"({"cartId":"cart_55a1","items":[],"subtotalCents":0})"));
      break;
    case 1: {
      Flow f = exchange(now_ms, "POST", "https", "telemetry.nimbusmart.test", "/v1/batch", 202, 55,
                        "application/json", R"({"accepted":1})");
      with_request_body(f, R"({"events":[{"name":"heartbeat"}]})");
      c.add_flow(std::move(f));
      break;
    }
    case 2:
      c.add_flow(api(now_ms, "GET", "/v2/home/feed?page=" + std::to_string(tick / 4 + 3), 200, 120,
                     R"({"sections":[],"next":null})"));
      break;
    default:
      c.add_flow(api(now_ms, "GET", "/v2/recommendations?context=home", tick % 8 == 3 ? 503 : 200,
                     300, R"({"items":[]})"));
  }
  static constexpr std::array<const char*, 5> kLevels = {"debug", "log", "info", "warn", "error"};
  Page& deals = *c.find_page("pg-3f9a1c07");
  c.add_console(deals, message(now_ms, "console", kLevels[tick % kLevels.size()],
                               "[live] tick " + std::to_string(tick), deals.url, 2,
                               "https://cdn.nimbusmart.test/web/deals.8b2e41.js", 500));
}

}  // namespace demo
