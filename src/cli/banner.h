// The banner and the usage text, both written to standard output.
#pragma once

// Prints the banner: rule, version line, copyright line, the local time, rule.
void print_banner();

// Prints the usage text with the fixed program name.
void usage();
