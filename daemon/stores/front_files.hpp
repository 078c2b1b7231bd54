// The front end's own files in the state directory, beside the controller's
// two: their names and their permission bits. The controller never reads
// them; every name of operators ends in .dat or is denied by name, since
// the Apache snippet serves only the page's files.
#pragma once

namespace armctl {

inline constexpr const char* latch_file_name = "stop-latch.json";
inline constexpr const char* history_file_name = "history.dat";
// The history's older half, once the newer one filled up.
inline constexpr const char* history_older_name = "history-older.dat";
inline constexpr const char* poses_file_name = "poses.dat";
inline constexpr const char* unlock_record_name = "unlock-record.log";
// The failed logins of the last minute, by address and by user name.
inline constexpr const char* login_failures_name = "login-failures.dat";
// The key that signs the device cookies of logins (random bytes).
inline constexpr const char* device_key_name = "device-key.dat";
// The permission bits of every file the front end creates: the arm's account
// alone reads them (they name operators and addresses).
inline constexpr unsigned front_file_mode = 0600;

}  // namespace armctl
