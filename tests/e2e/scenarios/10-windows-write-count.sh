# Both Windows exes under Wine, through the test driver set to give back fewer bytes than came
# (its Returned1 value): less than the header is a failed command, not the tool's own prefilled
# header taken for a reply. (How data cut short past the data offset counts is checked on both
# layouts by the Windows unit tests; the slow write of both exes is in 07-windows.)
# limit: 180
host_up || { fail host "cannot mount the host's file system"; return; }
in_host wineserver -p
wine_drive 0 "$(ls /sys/block/sda/device/scsi_generic)"
returned() { # add BYTES | delete
  in_host /usr/lib/wine/wine64 reg "$1" 'HKLM\System\CurrentControlSet\Services\winedisk' \
    /v Returned1 ${2:+/t REG_DWORD /d $2} /f >/dev/null 2>&1
}
for bits in 64 32; do run_exe warm$bits 150 $bits --version; done
for bits in 32 64; do
  # The header is 44 bytes from a 32-bit process, 56 from a 64-bit one.
  bridge_start --units 4 && wine_drive 1 "$BR_SG" || return
  returned add 40
  run_exe header$bits 60 $bits 1y
  returned delete
  { banner; printf 'Drive      : 1(USB)\nIOCtl: failed 0xd!\nGet fw version error!\n'; } |
    check_transcript header$bits-out
done
in_host wineserver -k
scenario_done
