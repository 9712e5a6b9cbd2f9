// The settings store: the engine's stand-in for the current user's registry hive.
//
// One text file in the registry-export format (platform/RegistryFile.h), at $TARSIO_REGISTRY when
// set, else $XDG_CONFIG_HOME/tarsio/registry.reg, else ~/.config/tarsio/registry.reg (see
// docs/settings.md). Missing or unreadable files read as an empty registry.
//
// On Windows the settings live in the registry itself, HKEY_CURRENT_USER (platform/win32/
// RegistryHive.h), unless $TARSIO_REGISTRY names a file: each read and write then goes straight to
// the registry's calls (no view, no writer thread: the registry is shared with other processes by
// the system, and its calls take microseconds), WriteDefault reads and writes the value unless one
// acceptable is there (the registry has no transaction, so a value another process stores between
// the two calls can be overwritten by the default there), and Flush and StopWriter have nothing to
// wait for. What follows describes the file.
//
// Every change is a read-modify-write of the whole file under an exclusive flock (LockFileEx on
// Windows) on
// "<file>.lock": the current file is read, the change applied, the result written to a temporary
// file beside it, fsync'ed and renamed into place. So several processes may write at once without
// losing an update, and a crash leaves either the old or the new file, never a torn one. Lines the
// parser does not understand are written back unchanged.
//
// Reads are served from an in-process view (the parsed file plus the writes not yet on disk). Each
// read checks, with one stat and one 8-byte read of the lock file's generation counter, whether
// the file changed on disk (another process, or a hand edit), and re-reads it if so.
//
// Write-behind: a write can stall for a long time in fsync on a busy disk, and media threads write
// settings too. So by default writes only update the view (readers in this process see the new
// value at once) and a background writer thread persists them, batching whatever accumulated; it
// starts with the first such write and persists each write as soon as the disk lets it.
// Flush() waits until everything written so far is on disk. StopWriter() flushes, then stops the
// writer and joins it: the last terminal calls it when it is destroyed, so that no settings write
// is pending and no writer thread runs once the engine is gone; a later write starts a new writer.
// Nothing runs at process exit (no exit handler: a join there deadlocks under the Windows loader
// lock), so a process that exits without StopWriter or Flush may lose the writes of its last
// moments, those the writer had not yet persisted; the file is still whole (old or new). The store
// object is never destroyed, so it may be used during static destruction; a writer still running
// at exit is left to the exit. A child made by fork() starts without the parent's pending writes
// (the parent still persists those) and persists its own writes synchronously, since a child of a
// multi-threaded process should not start threads; SetWriteBehind(true) starts a writer thread in
// it again.
//
// Write failure: a write is refused (false) when the file's directory cannot be created or its
// lock file cannot be opened, or (synchronous mode) when persisting fails. A write-behind write
// that later fails on disk stays pending and is retried with the next write or Flush.
//
// The store's logic (the view, the write queue and its writer, the default rule) is the same on
// every system, in platform/RegistryStore.cpp; the file's system side (where it is, reading it,
// its identity, the writers' lock, the replacement and the change counter; the fork handlers on
// Linux) is in platform/posix/RegistryStore.cpp and platform/win32/RegistryStore.cpp.
//
// Threading: all members may be called from any thread. Locks: diskMutex_ (one persist at a time
// in this process; held across the file lock and the disk I/O) is taken before mutex_ (the view,
// the pending writes, the path); mutex_ is never held across a persist, only across re-reading the
// file when it changed. The writer thread holds neither while it waits; StopWriter holds neither
// while it joins the writer. While a StopWriter runs, writes are persisted synchronously.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/NativeHandle.h"
#include "platform/RegistryFile.h"

namespace tarsio {

class RegistryStore {
 public:
  using Value = RegistryFile::Value;

  /// The process-wide store (created on first use, never destroyed).
  static RegistryStore& Instance();

  /// The file path from the environment (empty when neither TARSIO_REGISTRY, XDG_CONFIG_HOME nor
  /// HOME is set).
  static std::string PathFromEnvironment();

  /// Flushes pending writes to the present file, then resolves the path from the environment
  /// again and forgets the cached view (tests point the store at a fresh file this way).
  void ReloadPathFromEnvironment();
  std::string Path() const;

  /// The value, or nothing when it is missing. key is the full key path, root included.
  std::optional<Value> Read(std::string_view key, std::string_view name);
  /// Whether the key exists (a section of it or of one of its subkeys).
  bool KeyExists(std::string_view key);
  /// Whether writes can be made (the directory exists or can be made, the lock file opens).
  bool CanWrite();

  /// Sets a string or DWORD value. False when the store cannot be written or the value cannot be
  /// stored (a line break in a text).
  bool Write(std::string_view key, std::string_view name, const Value& value);
  /// Writes a default back: sets the value unless, at the time the write reaches the file, it
  /// holds a value a reader of the default's type can take (any value, of any type; for a text
  /// reader, one whose bytes fit maxTextLength, see Acceptable). So a default never overwrites a
  /// value another process stored in the meantime.
  bool WriteDefault(std::string_view key, std::string_view name, const Value& value,
                    size_t maxTextLength);

  /// Waits until every write made so far is on disk. False when persisting failed.
  bool Flush();
  /// Flushes, then stops the background writer and joins it (waiting for a persist it has
  /// started). The next write-behind write starts a new writer. False when persisting failed.
  bool StopWriter();
  /// Whether a background writer thread exists now (tests).
  bool WriterRunning() const;

  /// Write-behind (the default) or synchronous persisting of each write. Flushes first.
  void SetWriteBehind(bool on);
  bool WriteBehind() const;

  /// Whether a stored value counts as present for WriteDefault's rule: it exists, and for a
  /// text reader (type kString) its query bytes (Value::QueryBytes, terminating zero included)
  /// number at most maxTextLength.
  static bool Acceptable(const std::optional<Value>& stored, Value::Type type,
                         size_t maxTextLength);

  /// A registry the operating system keeps (Windows' current-user hive), which holds the settings
  /// instead of the file when no file is named. Its calls are safe from any thread.
  class SystemHive {
   public:
    virtual ~SystemHive() = default;
    virtual std::optional<Value> Read(std::string_view key, std::string_view name) = 0;
    virtual bool KeyExists(std::string_view key) = 0;
    virtual bool CanWrite() = 0;
    virtual bool Write(std::string_view key, std::string_view name, const Value& value) = 0;
    /// What Path() names while the hive is used.
    virtual std::string Name() const = 0;
  };

 private:
  struct Op {
    std::string key;
    std::string name;
    Value value;
    bool onlyIfNotAcceptable = false;
    size_t maxTextLength = 0;
    uint64_t sequence = 0;  // writes are applied in the order they were made
  };
  struct FileIdentity {
    bool exists = false;
    uint64_t device = 0, inode = 0, size = 0, generation = 0;
    int64_t mtimeNs = 0;
    bool operator==(const FileIdentity&) const = default;
  };
  using OpMap = std::map<std::string, Op>;  // by folded "key\nname"

  RegistryStore();
  ~RegistryStore() = delete;

  static std::vector<const Op*> InOrder(const OpMap& ops);
  static std::string OpId(std::string_view key, std::string_view name);
  static void ApplyToFile(const Op& op, RegistryFile* file);
  void ApplyToView(const Op& op);
  void RebuildViewLocked();
  void RefreshLocked();  // re-reads the file when it changed on disk
  bool Enqueue(Op op);
  bool PersistPending();        // takes diskMutex_
  bool PersistPendingLocked();  // diskMutex_ held
  bool PersistOps(const std::string& path, const OpMap& ops, RegistryFile* written,
                  FileIdentity* identity);
  void StartWriterLocked();
  void WriterLoop(uint64_t generation);

  /// The hive in use, or null (the file); read under mutex_, used without it.
  SystemHive* Hive() const;

  // The system's side.
  /// The system's hive when the environment names no file; null where there is none (Linux).
  static SystemHive* SystemHiveFromEnvironment();
  /// The identity of the file at path_ now, the change counter read first (through
  /// generationFd_, opened on first use).
  FileIdentity CurrentIdentityLocked();
  /// Closes generationFd_, if open.
  void CloseGenerationHandleLocked();
  /// Whether a write can be made: the file is readable or missing with its directory made, and
  /// the lock file opens for writing (created when missing).
  bool ProbeWritableLocked();
  /// Reads the whole file at path. False when it exists but cannot be read (or is too large); a
  /// missing file gives true with *exists false. A file read gives its identity (the change
  /// counter aside) in *identity.
  static bool ReadWholeFile(const std::string& path, std::string* text, bool* exists,
                            FileIdentity* identity);
  /// Under the writers' lock on "<path>.lock" (the directory made first): reads the file and
  /// replaces it, durably and whole, with rewrite(its text), then counts the change in the lock
  /// file. False, the file unchanged, when a step fails; a file that exists but cannot be read is
  /// never replaced. *identity: the new file's, change counter included. Runs with diskMutex_
  /// held, not mutex_.
  static bool RewriteFile(const std::string& path,
                          const std::function<std::string(std::string_view)>& rewrite,
                          FileIdentity* identity);
  static void AtForkPrepare();
  static void AtForkParent();
  static void AtForkChild();

  mutable std::mutex diskMutex_;
  mutable std::mutex mutex_;
  std::condition_variable wakeWriter_;

  // Guarded by mutex_.
  SystemHive* hive_ = nullptr;
  std::string path_;
  std::string lockPath_;
  NativeHandle generationFd_ = kNoNativeHandle;  // read-only handle of the lock file (counter)
  RegistryFile disk_;
  FileIdentity diskIdentity_;
  bool diskLoaded_ = false;
  std::unordered_map<std::string, Value> view_;  // by OpId
  std::unordered_set<std::string> viewKeys_;     // folded key paths (and their parents)
  OpMap pending_;
  OpMap inFlight_;
  uint64_t nextSequence_ = 0;
  bool writeBehind_ = true;
  bool lastPersistOk_ = true;
  int stoppers_ = 0;               // StopWriter calls in progress: no writer may start meanwhile
  uint64_t writerGeneration_ = 0;  // a writer whose generation is no longer current leaves
  std::unique_ptr<std::thread> writer_;
  std::thread* abandonedWriter_ = nullptr;  // the parent's writer, in a forked child
};

}  // namespace tarsio
