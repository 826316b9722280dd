// What the tool reports, as the tests expect it: the line that ends every
// run, and the two lines of a configuration moved to its backup.
#ifndef CNFUPGRADE_TESTS_REPORT_HPP
#define CNFUPGRADE_TESTS_REPORT_HPP

#include <string>

inline const std::string done = "Upgrade(s) complete.\n";

inline std::string upgraded(const std::string& name,
                            const std::string& backup) {
  return "Upgrading " + name + "\n" + name + " backed up to " + backup + "\n";
}

// The same for BASE.cnf backed up to BASE.bak.
inline std::string upgraded(const std::string& base) {
  return upgraded(base + ".cnf", base + ".bak");
}

#endif  // CNFUPGRADE_TESTS_REPORT_HPP
