// The command line and the run over the configuration files it names.
#ifndef CNFUPGRADE_RUN_HPP
#define CNFUPGRADE_RUN_HPP

// Upgrades the files named by the arguments after the program's own name,
// or the one name typed at the prompt when there are none. Returns the
// exit status: 0 when every named file was upgraded, 1 otherwise.
int run_upgrades(int argc, char** argv);

// Vets the name as typed and, when it may be upgraded, leaves it in `name`
// (text_size bytes), completed with ".cnf" when it has no dot. Prints
// "Bad filename: %s." or "Filename too long: %s." when it refuses.
int check_file_name(const char* typed, char* name);

// Backs the file up and rewrites its keys. Prints "Upgrading %s" first,
// and "Can't back up %s" or "Can't upgrade %s" when a stage fails.
int upgrade_file(const char* name);

#endif  // CNFUPGRADE_RUN_HPP
