#include "core/formats/http_post.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>
#include <new>

#include "core/base/text.h"

namespace certwright {
namespace {

struct EasyFree {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct HeadersFree {
  void operator()(curl_slist* headers) const { curl_slist_free_all(headers); }
};
struct UrlFree {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct CurlText {
  void operator()(char* text) const { curl_free(text); }
};

struct Answer {
  std::string body;
  std::size_t limit = 0;
  bool too_large = false;
};

std::size_t take(char* data, std::size_t, std::size_t size, void* context) {
  auto& answer = *static_cast<Answer*>(context);
  if (answer.body.size() + size > answer.limit) {
    answer.too_large = true;
    return CURL_WRITEFUNC_ERROR;
  }
  answer.body.append(data, size);
  return size;
}

void global_init() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) throw std::bad_alloc();
  });
}

}  // namespace

std::expected<std::string, Error> http_post(const HttpPost& post) {
  global_init();
  const std::unique_ptr<CURL, EasyFree> handle(curl_easy_init());
  if (!handle) throw std::bad_alloc();
  std::unique_ptr<curl_slist, HeadersFree> headers(
      curl_slist_append(nullptr, ("Content-Type: " + post.content_type).c_str()));
  if (!headers) throw std::bad_alloc();
  Answer answer{.body = {}, .limit = post.max_answer_bytes};
  char error_text[CURL_ERROR_SIZE] = {};
  CURL* easy = handle.get();
  curl_easy_setopt(easy, CURLOPT_URL, post.url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(post.timeout_seconds * 1000));
  curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(post.max_answer_bytes));
  curl_easy_setopt(easy, CURLOPT_POST, 1L);
  curl_easy_setopt(easy, CURLOPT_POSTFIELDS, post.body.data());
  curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(post.body.size()));
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, take);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &answer);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, error_text);
  const CURLcode code = curl_easy_perform(easy);
  const std::string limit = std::to_string(post.max_answer_bytes) + " bytes";
  if (answer.too_large || code == CURLE_FILESIZE_EXCEEDED)
    return std::unexpected(Error{"the answer is larger than " + limit});
  if (code != CURLE_OK) {
    // The error buffer may name the host, never the URL's user, password or query.
    const std::string detail = error_text[0] ? error_text : curl_easy_strerror(code);
    return std::unexpected(Error{single_line(detail)});
  }
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  if (status != 200)
    return std::unexpected(Error{"HTTP status " + std::to_string(status) + ", not 200"});
  return std::move(answer.body);
}

std::string shown_url(std::string_view url) {
  global_init();
  const std::unique_ptr<CURLU, UrlFree> parsed(curl_url());
  if (!parsed) throw std::bad_alloc();
  const std::string text(url);
  if (curl_url_set(parsed.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK)
    return "(unreadable URL)";
  for (const CURLUPart part :
       {CURLUPART_USER, CURLUPART_PASSWORD, CURLUPART_OPTIONS, CURLUPART_QUERY, CURLUPART_FRAGMENT})
    curl_url_set(parsed.get(), part, nullptr, 0);
  char* shown = nullptr;
  if (curl_url_get(parsed.get(), CURLUPART_URL, &shown, 0) != CURLUE_OK) return "(unreadable URL)";
  const std::unique_ptr<char, CurlText> held(shown);
  return single_line(shown);
}

}  // namespace certwright
