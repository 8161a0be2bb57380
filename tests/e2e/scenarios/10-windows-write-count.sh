# Both Windows exes under Wine, through the test driver set to give back fewer bytes than came
# (its Returned1 value): less than the header is a failed command, not the tool's own prefilled
# header taken for a reply, and data cut short past the data offset is a short read, saved as
# partial. (The slow write of both exes is in 07-windows.)
# limit: 180
host_up || { fail host "cannot mount the host's file system"; return; }
in_host wineserver -p
wine_drive 0 "$(ls /sys/block/sda/device/scsi_generic)"
returned() { # add BYTES | delete
  in_host /usr/lib/wine/wine64 reg "$1" 'HKLM\System\CurrentControlSet\Services\winedisk' \
    /v Returned1 ${2:+/t REG_DWORD /d $2} /f >/dev/null 2>&1
}
head1='Drive      : 1(USB)\nCtrl/Fw version : jmABC_01_02_A0_FF\n'
for bits in 64 32; do run_exe warm$bits 150 $bits --version; done
for bits in 32 64; do
  # The header is 44 bytes from a 32-bit process, 56 from a 64-bit one; the sense area 24.
  bridge_start --units 4 && wine_drive 1 "$BR_SG" || return
  returned add 40
  run_exe header$bits 60 $bits 1y
  { banner; printf 'Drive      : 1(USB)\nIOCtl: failed 0xd!\nGet fw version error!\n'; } |
    check_transcript header$bits-out
  returned add $((bits / 32 * 12 + 56 + 100))
  run_exe cut$bits 60 $bits 1y
  returned delete
  {
    banner
    printf "${head1}Fw size: 1024\nFw block #0 short read: 100 of 1024 bytes\nFw block #0 read error\n"
    printf 'Nvram short read: 100 of 512 bytes!\nFw nvram read error\nFw+nvram saved to %s\n' \
      jmABC_01_02_A0_FF.partial.bin
  } | check_transcript cut$bits-out
  expected_image /tmp/expected.bin fw:0:100 zero:1436
  check_same cut$bits-file $RUN/jmABC_01_02_A0_FF.partial.bin /tmp/expected.bin
done
in_host wineserver -k
scenario_done
