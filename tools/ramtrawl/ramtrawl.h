// Front end of ramtrawl: option grammar, validation and the run's outcome.
#ifndef RAMTRAWL_H
#define RAMTRAWL_H

#include <sys/types.h>

#include <vector>

extern const char* arrayDB;

[[noreturn]] void ExplainUsage();
int CheckFlags(int a, int d, int g, int r, int e);
int CheckArgs(int num, int a, int d, int g, int r);
void DataParse(const char* str, std::vector<u_int32_t>& res);
void PrintDB(const char* db_file);

#endif  // RAMTRAWL_H
