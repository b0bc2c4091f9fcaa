#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include <cfg/IPropSetStore.h>
#include <utl/CPropSet.h>

namespace cfg {

// The configuration database: property sets that components hand over ("plug") under a group
// and an ID, so that their settings are kept where the application keeps its configuration.
// All functions are thread-safe; the sets themselves are thread-safe (utl::CPropSet).
//
// Where settings are kept. On first use (which may be a static initialiser of a library, before
// main) the database opens its configuration file: the path in the environment variable
// PLINTH_CONFIG when that is set and not empty, else DefaultConfigPath(). The name ":memory:"
// keeps everything in memory for the life of the process and writes no file. SetConfigPath
// chooses another file later. The file is an SQLite database (see cfg::CSqliteStore). A file
// chosen on first use that does not exist yet is created (with its directory) by the first write:
// a process that changes no settings leaves no file behind.
//
// When settings are written. A plugged set is watched, nested sets included: any change of its
// content, or of a set inside one of its property-set vectors at any depth, marks the set
// changed. A background thread writes the changed sets c_writeBackDelay after the first change
// (changes made in the meantime go into the same write), so that a burst of changes costs one
// transaction. Besides that, synchronously on the calling thread:
//   - Flush writes what changed in every plugged set;
//   - UnPlugGlobalPropSet erases the key from the file;
//   - SetConfigPath writes what is still unwritten into the file it leaves;
//   - the end of the process (return from main or exit()) stops the thread and writes what is
//     still unwritten; the database then keeps working in memory only.
// A process that ends otherwise (a crash, _exit, quick_exit, a signal) loses the changes of its
// last c_writeBackDelay. A failed write is retried c_writeBackRetry later and at the end of the
// process. A child made with fork() must not use the database before it execs.
//
// What is written. The database remembers, per plugged set, what it last read from or wrote into
// the store, and a write carries only the properties that differ from that (nested sets compared
// element by element, see cfg::MergeChanges), merged into what the store holds now. A set that
// did not change is not written at all, not even by Flush or at the end of the process. So
// processes that share a file keep each other's settings, also of the same stage; when two of
// them change the same property, the later write wins. A set plugged with `keepSetValues`, and
// every set when the store is replaced, is written whole the first time. (A store given with
// SetStore that does not want write-back is this process's own: Flush hands it every plugged set
// whole.)
//
// Errors. When the file cannot be used (it cannot be created or written, it is not a database,
// it is damaged, it belongs to another program or to a newer version of this library), the file
// is left untouched and the database works in memory: SetConfigPath answers false, a file chosen
// through PLINTH_CONFIG or the default is reported on stderr, and LastError() tells the reason in
// both cases. A failed write answers false from Flush (and UnPlugGlobalPropSet) and leaves its
// reason in LastError() as well; a failed background write is reported on stderr once until a
// write succeeds again. (A file on first use that is still to be made is checked by its first
// write: until that succeeds, every write fails as above and the file stays untouched.)

// How long after the first unwritten change the background thread writes, and how long after a
// failed write it tries again.
constexpr std::chrono::milliseconds c_writeBackDelay{100};
constexpr std::chrono::milliseconds c_writeBackRetry{2000};

// The path that keeps settings in memory only.
constexpr const char* c_inMemory = ":memory:";

// Plugs `set` under (group, id). With `keepSetValues` false the set is first filled with the
// settings known for the key: those of the set plugged there until now (a new object of the same
// component takes over the settings of the old one), or else those in the store. With
// `keepSetValues` true the set keeps exactly what it holds. A set plugged earlier under the key
// is replaced and no longer watched. Answers false for a null set.
bool PlugGlobalPropSet(int group, std::uint32_t id, const utl::PropSetPtr& set, bool keepSetValues);

// Takes the set of (group, id) out of the database and forgets what the store holds for it, so
// that the next set plugged there starts from nothing. False when nothing was plugged there (the
// store forgets the key all the same) or when the store failed (see LastError()).
bool UnPlugGlobalPropSet(int group, std::uint32_t id);

// Writes what changed in every plugged set to the store now. False when the store refused (see LastError()).
bool Flush();

// The set plugged under (group, id), or null.
utl::PropSetPtr GetGlobalPropSet(int group, std::uint32_t id);

// Replaces the store; nullptr keeps settings in memory only (as the path ":memory:" does). What
// is still unwritten goes to the store being replaced when that one wants write-back; then every
// plugged set is filled with what the new store holds for its key, and marked changed. Meant for
// start-up, before components plug their sets: a component that holds on to nested sets of its
// set (a stage's axes) keeps the old ones.
void SetStore(std::unique_ptr<IPropSetStore> store);

// Makes the SQLite file at `path` the store (":memory:": none), creating the file and its
// directory when needed, the same way as SetStore. Call it before the first stage is registered;
// the sets plugged until then (by libraries, before main) take over what the file holds for them
// and are written there from then on. Answers false, with the reason in LastError(), when the
// file cannot be used; the database then keeps settings in memory only.
bool SetConfigPath(const std::string& path);

// The configuration file in use; ":memory:" when settings are kept in memory; empty when a store
// was given with SetStore.
std::string GetConfigPath();

// Where settings are kept unless PLINTH_CONFIG or SetConfigPath says otherwise:
// $XDG_DATA_HOME/plinth/config.db when XDG_DATA_HOME is an absolute path, else
// $HOME/.local/share/plinth/config.db (the home directory from the user database when HOME is
// not set); ":memory:" when there is no home directory either.
std::string DefaultConfigPath();

// Why the configuration file could not be used, or why the last write into it failed; empty while
// the file in use opened and its last write succeeded (and while settings are kept in memory by
// choice).
std::string LastError();

// Waits until every change made before the call is written into a store that wants write-back,
// at most `timeout`. True when that happened (at once when nothing is unwritten, or when the
// store does not want write-back).
bool WaitForWriteBack(std::chrono::milliseconds timeout);

} // namespace cfg
