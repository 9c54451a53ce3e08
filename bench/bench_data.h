// Inputs for the function benchmarks: RuleErrs reports of a given size and answer archives like the
// ones question banks hold. Everything is made from fixed seeds, so every run measures the same bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vardenix::bench {

// A report of `entries` RuleErr entries, in the form the report routines write it (declaration,
// indented elements), each entry with realistic field texts. Empty for 0 entries.
std::string ReportWithEntries(int entries);

// The text the scoring component would answer for one failed record: a report of one entry.
std::string OneEntryReport();

// A zip archive of `files` files in two folders, about half text (compresses about 3:1) and half
// random bytes (does not compress), `bytes_each` bytes each before compression. Deflated, as
// `vardenix bank add-question --archive-dir` stores them.
std::vector<uint8_t> AnswerArchive(int files, size_t bytes_each);

}  // namespace vardenix::bench
