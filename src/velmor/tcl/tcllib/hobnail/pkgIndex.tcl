# Tcl package index for hobnail, the Tcl-side helpers of velmor.tcl.
package ifneeded hobnail 1.0 [list source [file join $dir hobnail.tcl]]
