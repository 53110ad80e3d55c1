# hobnail: Tcl-side helpers of velmor.tcl.
#
# ::hobnail::_cbBkup keeps the commands that Python callbacks replaced
# (Interpreter.create_callback with force), so that removing the callback
# can put them back.
namespace eval ::hobnail {
    namespace eval _cbBkup {}
}
package provide hobnail 1.0
