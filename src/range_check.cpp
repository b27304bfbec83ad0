#include "range_check.h"

#include "platform.h"
#include "reciprocal.h"

namespace {
constexpr DWORD BLOCK_PAUSE_MS = 1;
}  // namespace

std::uint32_t verify_range() {
    std::uint32_t n = RANGE_START;
    for (;;) {
        const std::uint32_t stop = check_block(n);
        if (stop != n + BLOCK_SIZE) return stop;
        n = stop;
        render_decimal(n, progress_buffer);
        print_text(progress_buffer);
        print_text(LINE_BREAK.bytes);
        Sleep(BLOCK_PAUSE_MS);
    }
}

// check_value(n), written out BLOCK_SIZE times in a row: no loop and no
// backward branch in a block. Each check computes the reciprocal quotient with
// one 32-bit MUL and one shift and the reference quotient with one 32-bit DIV
// of 0:n, so the divide instruction itself is checked, never a compiler's
// rewrite of it. A passing check falls through to the next; a failing one
// leaves by the one forward branch with n still holding the failing dividend.
//
// One copy of the block, out of line: noipa keeps the compiler from inlining
// it into verify_range (which would peel it off the loop into more copies) or
// cloning it, so the binary holds exactly the 1000 checks that the tests
// drive.
[[gnu::noipa]] std::uint32_t check_block(std::uint32_t first) {
    std::uint32_t n = first;
    std::uint32_t reciprocal;
    asm volatile(
        ".rept %c[checks]\n\t"
        "movl %[n], %%eax\n\t" RECIPROCAL_SEQUENCE("%[multiplier]") "\n\t"
        "movl %%edx, %[reciprocal]\n\t"
        "movl %[n], %%eax\n\t"
        "xorl %%edx, %%edx\n\t" DIVIDE_SEQUENCE("%[divisor]") "\n\t"
        "cmpl %%eax, %[reciprocal]\n\t"
        "jne 9f\n\t"
        "addl $1, %[n]\n\t"
        ".endr\n"
        "9:"
        : [n] "+r"(n), [reciprocal] "=&r"(reciprocal)
        : [multiplier] "r"(RECIPROCAL_MULTIPLIER), [divisor] "r"(DIVISOR),
          [high_shift] "i"(RECIPROCAL_HIGH_SHIFT), [checks] "i"(BLOCK_SIZE)
        : "eax", "edx", "cc");
    return n;
}

void report_mismatch(std::uint32_t n) {
    print_text(MISMATCH_TEXT.bytes);
    render_decimal(n, mismatch_buffer);
    print_text(mismatch_buffer);
    print_text(LINE_BREAK.bytes);
}
