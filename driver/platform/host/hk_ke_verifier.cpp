// Host kernel ke: the verifier core. A broken rule is printed and aborts the process, unless a
// test expects that rule, in which case it is counted and the offending call goes on as
// harmlessly as it can.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <string>

#include "hk_core.h"

namespace hk {

struct ExpectViolation::State {
    const char* rule;
    int count = 0;
    std::string last;
    State* outer = nullptr;
};

namespace {
std::mutex g_verifierLock;
ExpectViolation::State* g_expected = nullptr;  // innermost scope
}  // namespace

ExpectViolation::ExpectViolation(const char* rule) : state_(new State) {
    std::lock_guard<std::mutex> lock(g_verifierLock);
    state_->rule = rule;
    state_->outer = g_expected;
    g_expected = state_;
}

ExpectViolation::~ExpectViolation() {
    {
        std::lock_guard<std::mutex> lock(g_verifierLock);
        // Scopes end in reverse order of their creation.
        State** link = &g_expected;
        while (*link != nullptr && *link != state_) link = &(*link)->outer;
        if (*link == state_) *link = state_->outer;
    }
    delete state_;
}

int ExpectViolation::Count() const {
    std::lock_guard<std::mutex> lock(g_verifierLock);
    return state_->count;
}

const char* ExpectViolation::LastMessage() const {
    std::lock_guard<std::mutex> lock(g_verifierLock);
    return state_->last.c_str();
}

void Violation(const char* rule, const char* format, ...) {
    char message[8192];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    {
        std::lock_guard<std::mutex> lock(g_verifierLock);
        for (ExpectViolation::State* scope = g_expected; scope != nullptr; scope = scope->outer) {
            if (strcmp(scope->rule, rule) == 0) {
                ++scope->count;
                scope->last = message;
                return;
            }
        }
    }
    fprintf(stderr, "KX VERIFIER: %s: %s\n", rule, message);
    fflush(stderr);
    abort();
}

}  // namespace hk

extern "C" void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
    hk::Violation("BUGCHECK", "KeBugCheckEx(0x%08X, 0x%llX, 0x%llX, 0x%llX, 0x%llX)", BugCheckCode,
                  (unsigned long long)P1, (unsigned long long)P2, (unsigned long long)P3, (unsigned long long)P4);
    fprintf(stderr, "KX VERIFIER: BUGCHECK 0x%08X: the system stops here\n", BugCheckCode);
    fflush(stderr);
    abort();
}

extern "C" void KxHostAssertFailed(const char* expression, const char* file, int line) {
    fprintf(stderr, "KX ASSERT: %s (%s:%d)\n", expression, file, line);
    fflush(stderr);
    abort();
}
