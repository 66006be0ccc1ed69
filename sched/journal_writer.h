#pragma once
// The journal's writer thread: while writes wait in the journal, it finds out whether the
// cores' databases answer again and writes what is kept, so that no worker ever waits for a
// database that is gone.

struct SchedContext;

// Thread entry; arg is the daemon's SchedContext*, whose journal and cores it uses. Returns
// when the stop flag is set (a stop wakes it through ResultJournal::wake).
void* thread_write_journal(void* arg);
// Asks a trivial question of every core pool that has had no answer for half its timeout.
void askIdlePools(const SchedContext& ctx);
// One pass: every core pool found lost is probed, then the journal is written through the
// first pool that answers. Returns true when nothing is left.
bool writeJournalOnce(const SchedContext& ctx);
