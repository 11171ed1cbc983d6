#include "error/error.hpp"

namespace vellumark {

std::string Error::display() const {
    switch (kind_) {
        case ErrorKind::InvalidRecord:
            return "invalid WARC record: " + message_;
        case ErrorKind::NoManifest:
            break;
    }
    return "no C2PA manifest record found";
}

}  // namespace vellumark
