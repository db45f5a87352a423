// The command line's help for people writing a configuration: an example that
// shows every kind of entry, and a test of a configuration file.
#pragma once

namespace tendwell {

// Prints the example configuration to file, or to standard output when file is
// null. 0, or -1 when the file cannot be opened or the text cannot be written.
int GenerateExampleConfigure(const char* file);

// Judges file exactly as written: 0 legal, -1 cannot open, -2 cannot parse,
// -3 parses but fails the configuration check.
int TestConfigure(const char* file);

}  // namespace tendwell
