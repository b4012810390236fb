#include "core/Failure.h"

#include <new>

namespace qem {

const char* currentFailureText() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return "out of memory";
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return nullptr;
    }
}

}  // namespace qem
