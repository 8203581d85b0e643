// The camera URL as a log line may show it: credentials replaced by "***". Pure text, no FFmpeg,
// callable from any thread.
#ifndef MEDIA_SOURCE_URL_MASK_H
#define MEDIA_SOURCE_URL_MASK_H

#include <string>

namespace media_source {

// The URL with every part that may hold a credential replaced by "***":
// - the user information: everything between "<scheme>://" (or "<scheme>:") and the LAST '@' of
//   the URL, so a password holding '/', '?', '#' or '@' never shows ("rtsp://***@cam/s"); plain
//   paths and file: URLs have none;
// - the value of every query parameter whose name (percent-decoded, any case) contains user, usr,
//   login, pass, pwd, token, key, auth, secret, cred or sig, up to the next '&' ("?user=***&pwd=***").
// Where the two overlap they become one "***". Errs towards masking: a URL whose only '@' is in its
// path or query hides its host as well.
std::string MaskUrl(const std::string& url);

} // namespace media_source

#endif
