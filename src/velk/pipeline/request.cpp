// First stage: choose the placement mode and convert its value.
#include "../adapter/printing.h"
#include "../../engine/report/wording.h"
#include "pipeline.h"

namespace velk {

namespace {

Ref to_int(PyObject* text, PyObject* base) {
    return call(reinterpret_cast<PyObject*>(&PyLong_Type), text, base);
}

// Inside a handler that catches Exception: anything else goes on up.
void catch_exception_only() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
    PyErr_Clear();
}

bool refuse(PyObject* fmt, PyObject* value) {
    print(format(fmt, value).get());
    return false;
}

// The refusal line names the bad value; the hint after it on standard
// error says what the option takes.
bool refuse_with_hint(PyObject* fmt, PyObject* value, const std::string& rule) {
    refuse(fmt, value);
    say_to_stderr("hint: " + rule);
    return false;
}

// Address mode: a hexadecimal offset, a multiple of 4, not before the image.
bool check_address(CalcLocals& l) {
    const Texts& t = state.t;
    try {
        Ref offset = to_int(l.crcaddr, state.c.sixteen);
        Ref rest = check(PyNumber_Remainder(offset.get(), state.c.four));
        if (truth(rest.get())) return refuse(t.msg_addr_not_multiple, l.crcaddr);
        // A negative offset would put the checksum before the image; it is
        // refused below, outside the handler, like a number that is none.
        if (!compare(offset.get(), state.c.zero, Py_LT)) {
            l.crcoffsetaddr = std::move(offset);
            return true;
        }
    } catch (const PythonError&) {
        catch_exception_only();
    }
    return refuse_with_hint(t.msg_addr_error, l.crcaddr, wording::address_rule());
}

// The rounding of the block step needs a positive power of two: 0 would
// put the checksum over the first word of the image, 48 off the block.
bool is_power_of_two(PyObject* value) {
    if (!compare(value, state.c.zero, Py_GT)) return false;
    Ref below = subtract(value, state.c.one);
    return !truth(bit_and(value, below.get()).get());
}

// Block mode: a decimal block size.
bool check_block(CalcLocals& l) {
    const Texts& t = state.t;
    try {
        Ref size = to_int(l.crcblock_arg, state.c.ten);
        if (is_power_of_two(size.get())) {
            l.crcoffsetaddr = Ref::share(size.get());
            l.crcblock = std::move(size);
            print(format(t.msg_block, l.crcblock.get()).get());
            return true;
        }
    } catch (const PythonError&) {
        catch_exception_only();
    }
    return refuse_with_hint(t.msg_block_error, l.crcblock_arg, wording::block_rule());
}

}  // namespace

bool check_request(CalcLocals& l) {
    if (l.varename != Py_None) return true;
    if (l.crcaddr != Py_None) return check_address(l);
    if (l.crcblock_arg != Py_None) return check_block(l);
    print(state.t.msg_no_request);
    say_to_stderr("hint: " + wording::selector_rule());
    return false;
}

}  // namespace velk
