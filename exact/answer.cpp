#include "answer.h"

#include <cstdio>
#include <vector>

namespace {

std::string number(std::uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
    return text;
}

std::string hexadecimal(std::uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

const char* increment_words(increment add) {
    switch (add) {
        case increment::none:
            return "";
        case increment::wrap:
            return "n + 1 in 32 bits, wrapping to 0 at 2^32 - 1";
        case increment::wide64:
            return "n + 1 in 64 bits";
        case increment::saturate:
            return "n + 1 saturating at 2^32 - 1";
    }
    return "";
}

// One exact sequence: its kind, the formula and its machine code.
struct form {
    std::string kind;
    std::string formula;
    std::string x86_64;
    std::string i686;
    sequence seq;
    unsigned pre_shift;
};

// The last step of a 32-bit MUL's product shifted: from EDX where the shift
// takes the low half away, else across both halves into EAX.
std::string i686_shift(unsigned shift) {
    return shift >= 32 ? "shr edx, " + number(shift - 32) + "  ; quotient in edx"
                       : "shrd eax, edx, " + number(shift) + "  ; quotient in eax";
}

std::vector<form> forms_of(const exact_sequences& exact) {
    std::vector<form> forms;
    if (exact.has_short) {
        const sequence& q = exact.short_form;
        const std::string m = hexadecimal(q.multiplier);
        const std::string i686_tail = i686_shift(q.shift);
        forms.push_back(
            {"shortest multiplier rounded up, 32 bits", formula(q),
             "mov eax, edi; mov ecx, " + m + "; imul rax, rcx; shr rax, " + number(q.shift),
             "mov eax, " + m + "; mul dword [n]; " + i686_tail, q, 0});
    }
    if (exact.has_long) {
        const sequence& q = exact.long_form;
        const std::string low = hexadecimal(q.multiplier - DIVIDENDS);
        const std::string last = number(q.shift - 33);
        forms.push_back({"33-bit multiplier rounded up, with add-back", formula(q),
                         "mov eax, edi; mov ecx, " + low +
                             "; imul rcx, rax; shr rcx, 32; sub eax, ecx; shr eax, 1; add eax, "
                             "ecx; shr eax, " +
                             last,
                         "mov eax, " + low +
                             "; mul dword [n]; mov eax, [n]; sub eax, edx; shr eax, 1; add eax, "
                             "edx; shr eax, " +
                             last,
                         q, 0});
    }
    if (exact.has_pre_shift) {
        const sequence& q = exact.pre_shifted;
        const std::string m = hexadecimal(q.multiplier);
        const std::string k = number(exact.pre_shift);
        forms.push_back({"pre-shift, then a 32-bit multiplier rounded up",
                         "((n >> " + k + ") * " + m + ") >> " + number(q.shift),
                         "mov eax, edi; shr eax, " + k + "; mov ecx, " + m +
                             "; imul rax, rcx; shr rax, " + number(q.shift),
                         "mov eax, [n]; shr eax, " + k + "; mov ecx, " + m + "; mul ecx; " +
                             i686_shift(q.shift),
                         q, exact.pre_shift});
    }
    if (exact.has_incremented) {
        const sequence& q = exact.incremented;
        const std::string m = hexadecimal(q.multiplier);
        forms.push_back({std::string("multiplier rounded down, ") + increment_words(q.add) +
                             (exact.saturating_too ? " (or saturating at 2^32 - 1)" : ""),
                         formula(q),
                         "mov eax, edi; add rax, 1; mov ecx, " + m + "; imul rax, rcx; shr rax, " +
                             number(q.shift),
                         "mov eax, " + m + "; mul dword [n]; add eax, " + m + "; adc edx, 0; " +
                             i686_shift(q.shift),
                         q, 0});
    }
    return forms;
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

std::string json_sequence(const sequence& seq) {
    const char* add = seq.add == increment::none     ? "none"
                      : seq.add == increment::wrap   ? "wrap32"
                      : seq.add == increment::wide64 ? "wide64"
                                                     : "saturate32";
    return "{\"divisor\": " + number(seq.divisor) + ", \"multiplier\": " + number(seq.multiplier) +
           ", \"shift\": " + number(seq.shift) + ", \"increment\": " + quoted(add) +
           ", \"formula\": " + quoted(formula(seq)) + "}";
}

std::string json_mismatch(const mismatch& first) {
    if (!first.found) return "null";
    return "{\"n\": " + number(first.n) + ", \"got\": " + decimal(first.got) +
           ", \"expected\": " + number(first.expected) + "}";
}

}  // namespace

std::string decimal(wide value) {
    if (value == wide{}) return "0";
    std::string digits;
    while (value != wide{}) {
        wide rest;
        value = divide(value, wide_of(10), &rest);
        digits.insert(digits.begin(), static_cast<char>('0' + rest.low));
    }
    return digits;
}

std::string formula(const sequence& seq) {
    const std::string dividend = seq.add == increment::none ? "n" : "(n + 1)";
    return "(" + dividend + " * " + hexadecimal(seq.multiplier) + ") >> " + number(seq.shift);
}

std::string as_text(const answer& said) {
    std::string text;
    const std::string d = number(said.divisor);
    if (said.checked) {
        const sequence& q = said.asked;
        const std::string quotient = "n / " + number(q.divisor);
        text += formula(q) +
                (q.add == increment::none ? "" : std::string(", ") + increment_words(q.add)) +
                ", for " + quotient + ":\n";
        const mismatch& first = said.reasoned.first;
        if (first.found) {
            text += "  not exact: first wrong at n = " + number(first.n) + ", where it gives " +
                    decimal(first.got) + " and " + quotient + " is " + number(first.expected) +
                    "\n";
        } else {
            text += "  exact for every n from 0 to 4294967295\n";
        }
        text += "  (reasoned in " + number(said.reasoned.steps) + " steps)\n";
        if (said.swept) {
            const mismatch& tried = said.machine.first;
            char took[64];
            std::snprintf(took, sizeof took, "%.1f s on %u threads", said.machine.seconds,
                          said.machine.threads);
            text += "  every n tried on this machine in " + std::string(took) + ": " +
                    (tried.found ? "first wrong at n = " + number(tried.n) : "none wrong") +
                    (tried.found == first.found && (!tried.found || tried.n == first.n)
                         ? ", as reasoned\n"
                         : ", NOT as reasoned\n");
        }
        text += "\n";
    }
    text += "Exact for n / " + d + ", every n from 0 to 4294967295:\n";
    for (const form& f : forms_of(said.exact)) {
        text += "  " + f.formula + "    " + f.kind + "\n";
        text += "      x86-64 (n in edi): " + f.x86_64 + "\n";
        text += "      i686:              " + f.i686 + "\n";
    }
    if (!said.exact.has_short) {
        text += "  (no 32-bit multiplier rounded up is exact for n / " + d + ")\n";
    }
    if (!said.exact.has_incremented) {
        text += "  (no 32-bit multiplier rounded down is exact with n + 1 for n / " + d + ")\n";
    }
    return text;
}

std::string as_json(const answer& said) {
    std::string text = "{\n";
    if (said.checked) {
        text += "  \"sequence\": " + json_sequence(said.asked) + ",\n";
        text += "  \"exact\": " + std::string(said.reasoned.first.found ? "false" : "true") + ",\n";
        text += "  \"first_mismatch\": " + json_mismatch(said.reasoned.first) + ",\n";
        text += "  \"steps\": " + number(said.reasoned.steps) + ",\n";
        if (said.swept) {
            const bool agrees =
                said.machine.first.found == said.reasoned.first.found &&
                (!said.machine.first.found || said.machine.first.n == said.reasoned.first.n);
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.3f", said.machine.seconds);
            text += "  \"sweep\": {\"first_mismatch\": " + json_mismatch(said.machine.first) +
                    ", \"seconds\": " + seconds + ", \"threads\": " + number(said.machine.threads) +
                    ", \"agrees\": " + (agrees ? "true" : "false") + "},\n";
        }
    }
    text += "  \"exact_sequences\": [";
    const std::vector<form> forms = forms_of(said.exact);
    for (std::size_t i = 0; i < forms.size(); ++i) {
        const form& f = forms[i];
        text += std::string(i == 0 ? "\n" : ",\n") + "    {\"kind\": " + quoted(f.kind) +
                ", \"formula\": " + quoted(f.formula) + ", \"pre_shift\": " + number(f.pre_shift) +
                ", \"sequence\": " + json_sequence(f.seq) + ", \"x86_64\": " + quoted(f.x86_64) +
                ", \"i686\": " + quoted(f.i686) + ", \"first_mismatch\": null}";
    }
    text += forms.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return text;
}
