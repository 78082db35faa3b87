#pragma once
// Constants of the first header line of every log file, and the fixed
// format text of the second. The option is fixed text too, whatever the
// build type; --version names the build type itself (ZARVO_BUILD_TYPE, which
// the build defines for every user of these constants).
namespace zarvo {

constexpr const char kProductVersion[] = "3.8.1";
constexpr const char kProductBuild[] = "13572468";
constexpr const char kProductOption[] = "Release";

// Written into the second header line; the writer never interprets it.
constexpr const char kAccessLogFormat[] =
    "%START_TIME% %REQ(:METHOD)% %REQ(X-ZARVO-ORIGINAL-PATH?:PATH)% %PROTOCOL% "
    "%RESPONSE_CODE% %RESPONSE_CODE_DETAILS% %RESPONSE_FLAGS% %BYTES_RECEIVED% "
    "%BYTES_SENT% %DURATION% %RESP(X-ZARVO-UPSTREAM-SERVICE-TIME)% %RESPONSE_TX_DURATION% "
    "%DOWNSTREAM_REMOTE_ADDRESS% %DOWNSTREAM_LOCAL_ADDRESS% %UPSTREAM_LOCAL_ADDRESS% "
    "%UPSTREAM_HOST%\n";

}  // namespace zarvo
