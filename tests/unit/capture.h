// Test helper: captures what a piece of code writes on standard error.
#pragma once

#include <cstdio>
#include <string>
#include <unistd.h>

template <typename Fn>
std::string CaptureStderr(Fn fn) {
  fflush(stderr);
  FILE *tmp = tmpfile();
  int saved = dup(2);
  dup2(fileno(tmp), 2);
  fn();
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  std::string text;
  rewind(tmp);
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, tmp)) > 0) text.append(buf, n);
  fclose(tmp);
  return text;
}
