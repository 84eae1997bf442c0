#pragma once
#include <exception>

// What reading a picture raises when it gives none. The picture readers know nothing
// of the program's run-time: its caller tells the user, with its own error numbers and
// the name of the file.
namespace kv {

class PictureError : public std::exception {
public:
    enum Kind {
        Invalid,    // the bytes are no picture the program shows
        TooLarge,   // the picture is larger than the program takes
        ReadFailed, // reading its file failed; error() says why
        Missing,    // the file is not there (one of the program's own pictures)
    };

    explicit PictureError(Kind kind, int err = 0) noexcept : kind_(kind), err_(err) {}
    Kind kind() const noexcept { return kind_; }
    // The error of the failing read (an errno value) for ReadFailed; 0 otherwise.
    int error() const noexcept { return err_; }
    const char* what() const noexcept override {
        switch (kind_) {
        case Invalid:
            return "invalid picture";
        case TooLarge:
            return "picture too large";
        case ReadFailed:
            return "picture file read failed";
        case Missing:
            return "picture file missing";
        }
        return "picture error";
    }

private:
    Kind kind_;
    int err_;
};

} // namespace kv
