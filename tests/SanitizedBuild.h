#pragma once
// Sanitized builds (ASan+UBSan, TSan) run the same code several times slower and
// keep freed memory in quarantine: real-time rates and resident memory are only
// roughly kept there, so the tests that measure them loosen or just print.
namespace qztest {

#if defined(QZ_SANITIZED_BUILD)
inline constexpr bool kSanitizedBuild = true;
#else
inline constexpr bool kSanitizedBuild = false;
#endif

}  // namespace qztest
