// A stream buffer with no buffer of its own, for the runner's output routes.
#pragma once

#include <streambuf>

namespace runner {

/// Sends single characters down the same path as whole writes (`xsputn`),
/// so a derived buffer has one place where output goes.
class UnbufferedStreambuf : public std::streambuf {
  protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) {
            return traits_type::not_eof(c);
        }
        const char ch = traits_type::to_char_type(c);
        return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
    }
};

}  // namespace runner
