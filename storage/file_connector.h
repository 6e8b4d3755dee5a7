#pragma once

#include <ctime>
#include <map>
#include <mutex>
#include <string>

#include "base/clock.h"
#include "server/measured_value.h"
#include "server/settings.h"

// Per-driver writer of item, archive and timestamp files and keeper of the
// release, rotate and backup folders. Every path is built through
// mtr::rootedPath. Files readers may see are replaced atomically.
class FileConnector {
 public:
  // `settings` is the driver's settings block (its current_system and the
  // archive-mode setting are taken from it), `meter_id` the -i identifier.
  FileConnector(const MeterSettings& settings, const std::string& meter_id, int mode,
                int lock_wait_seconds = 60, mtr::Clock* clock = nullptr);
  virtual ~FileConnector();

  // kind: Hourly, Daily, Monthly or Yearly. 0 when missing or not a number.
  virtual time_t ReadTimestamp(uint32_t kind) = 0;                       // slot 2
  virtual void WriteConnectedFlag(int flag) = 0;                         // slot 3
  virtual void RotateArchivesSys(int n, const std::string& folder) = 0;  // slot 4
  virtual time_t MDateTimeAge() = 0;                                     // slot 6
  virtual void WriteTimestamp(uint32_t kind, time_t t) = 0;              // slot 7
  virtual bool StoreArchive(const MeasuredValueList& values, uint32_t kind, bool is_vkt7,
                            bool is_vist) = 0;  // slot 8

  std::string ItemDir(int sys);
  std::string ArchiveDir(int sys, bool tmp);
  void WriteValues(const MeasuredValueList& values);
  void WriteReadStatus(const std::string& status);
  bool TakeForceUpdate();
  void SetPause();
  void ClearPause();
  void ReleaseArchives();
  void ReleaseArchivesSys(int n, const std::string& folder);
  void RemoveTmpArchivesSys(int n, const std::string& folder);

  // The meter clock as last written to the "MDateTime" item (0 when absent).
  // Safe to call from another thread while the driver writes.
  time_t ReadMDateTime();

  // Lock files: owner 0 the daemon ("DRV_LCK_"), 1 the reporter ("RPRT_LCK_").
  bool CreateLock(int owner);
  bool LockExists(int owner);
  void RemoveLock(int owner);

  const std::string& tmpArea() const { return tmp_area; }
  const std::string& storageArea() const { return storage_area; }
  int archMode() const { return arch_mode; }
  int currentSystem() const { return current_system; }
  const std::string& backupDir() const { return backup_dir; }
  // Path of a lock file; owner as for CreateLock.
  std::string LockPath(int owner) const;

 protected:
  // Honours the reporter's lock (logging `busy_message` at crit and sleeping
  // lock_wait_seconds per check), then holds the daemon's lock for its scope.
  class MaintenanceLock {
   public:
    MaintenanceLock(FileConnector& fc, const char* busy_message);
    ~MaintenanceLock();
    MaintenanceLock(const MaintenanceLock&) = delete;
    MaintenanceLock& operator=(const MaintenanceLock&) = delete;

   private:
    FileConnector& fc_;
  };
  // storage_area + N + "/" + folder + "/"
  std::string FolderPath(int n, const std::string& folder) const;
  // storage_area + N + "/tmp_archives/", the working folder that
  // ReleaseArchives publishes; made once like the others.
  std::string WorkDir(int sys);
  // storage_area + N + "/rotate/" + folder + "/"
  std::string RotatePath(int n, const std::string& folder) const;
  // Leftovers of an interrupted rotation or copy that hold nothing the
  // release folders lack: partial copies and outdated files never moved.
  void RemoveLeftovers(int n, const std::string& folder);

  std::string key;
  int current_system;
  std::string tmp_area;
  std::string storage_area;
  std::string force_update_marker;
  std::string ts_hourly, ts_daily, ts_monthly, ts_yearly;
  std::string tmp_root, storage_root, backup_dir;
  std::string mdatetime_name, ts_vkt7_name, ts_vkt9_name;
  std::string pause_marker;
  std::map<int, std::string> item_dirs;
  std::map<int, std::string> archive_dirs;
  int arch_mode = 0;
  int mode = 0;
  int lock_wait_seconds;
  mtr::Clock* clock;
  // The folder caches; IsArchFresh reads files from the main thread while the
  // driver thread fills them.
  std::mutex dirs_mutex;
};

class HeatFileConnector : public FileConnector {
 public:
  using FileConnector::FileConnector;
  time_t ReadTimestamp(uint32_t kind) override;
  void WriteConnectedFlag(int flag) override;
  void RotateArchivesSys(int n, const std::string& folder) override;
  time_t MDateTimeAge() override;
  void WriteTimestamp(uint32_t kind, time_t t) override;
  bool StoreArchive(const MeasuredValueList& values, uint32_t kind, bool is_vkt7,
                    bool is_vist) override;

 private:
  // Bounds one release file; false when it was left as it was.
  bool RotateFile(int n, const std::string& folder, const std::string& name);

  // An archive file whose appends fail. Its oldest missing record holds the
  // timestamp of `kind` back, so later passes read it again, until the file
  // has failed for a day; then it is given up and the others move on.
  struct Failing {
    uint32_t kind;
    int64_t first;       // oldest record that missed the file, as the meter stamped it
    int64_t first_line;  // the same as its line would carry it
    time_t since;        // clock time of the first failure
    bool given_up;
  };
  // Keyed by path; used by the driver thread only.
  std::map<std::string, Failing> failing_;
};
