// Makes thread starts fail as they do at the system's thread limit: while a
// ThreadStartLimit lives, pthread_create lets `allowed` more threads start
// and then fails with EAGAIN. It interposes pthread_create for the whole test
// program (root ignores RLIMIT_NPROC, so lowering that limit would not do).
#ifndef VANTREL_TESTS_THREADSTARTLIMIT_H
#define VANTREL_TESTS_THREADSTARTLIMIT_H

namespace VantrelTest {

class ThreadStartLimit {
 public:
  explicit ThreadStartLimit(int allowed);
  ~ThreadStartLimit();
  ThreadStartLimit(const ThreadStartLimit &) = delete;
  ThreadStartLimit &operator=(const ThreadStartLimit &) = delete;

  // Starts refused so far.
  int Refused() const;
};

}  // namespace VantrelTest

#endif  // VANTREL_TESTS_THREADSTARTLIMIT_H
