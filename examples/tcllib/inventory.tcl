# inventory.tcl: a small device inventory, the kind of Tcl library a test
# script drives.  Devices live in a keyed list per name (TclX), settings in
# an array; `check_all` reports each device through ::inventory::report,
# which the test script supplies.
package require Tclx

namespace eval ::inventory {
    variable devices {}
    variable settings
    array set settings {timeout 30 retries 3}
}

# add_device name ?-ports n? ?-vendor v?: register a device, return the count.
proc ::inventory::add_device {name args} {
    variable devices
    array set opts {-ports 1 -vendor unknown}
    array set opts $args
    set entry {}
    keylset entry name $name ports $opts(-ports) vendor $opts(-vendor) status.up 1 status.checked 0
    keylset devices [string map {" " _} $name] $entry
    return [llength [keylkeys devices]]
}

# device_info key: the keyed list of one device.
proc ::inventory::device_info {key} {
    variable devices
    return [keylget devices $key]
}

# check_all: ask the test script about every device; count the failures.
proc ::inventory::check_all {} {
    variable devices
    set failed 0
    foreach key [keylkeys devices] {
        set verdict [::inventory::report $key [keylget devices $key.ports]]
        if {$verdict ne "ok"} {incr failed}
        keylset devices $key.status.checked 1
    }
    return $failed
}
