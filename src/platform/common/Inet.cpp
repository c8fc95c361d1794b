// What both transfer controls do the same way, over the control's own interface.
#include "platform/Inet.h"

std::string Inet::OpenURL(const std::string& url, std::int64_t maxBytes)
{
  Execute(url, "GET");
  Wait();
  const std::string answer = AnswerFailure();
  if (!answer.empty())
    throw InetError(answer);
  // An over-long body is dropped with its connection, never read to its end.
  const std::string tooLarge = "大于 " + std::to_string(maxBytes) + " 字节";
  if (DeclaredLength() > maxBytes) {
    Cancel();
    throw InetError(tooLarge);
  }
  std::string body;
  for (std::string piece; !(piece = GetChunk(64 * 1024)).empty();) {
    body += piece;
    if (std::int64_t(body.size()) > maxBytes) {
      Cancel();
      throw InetError(tooLarge);
    }
  }
  const std::string reason = FailureReason();
  if (!reason.empty())
    throw InetError(reason);
  return body;
}
