# Both Windows exes under Wine, through the test driver: a slow NVRAM write (5 s) completes within
# the write's 30-s time-out, with the file read named by its full path; and a driver that gives
# back fewer bytes than came (the driver's ReturnedN value): less than the request's header is a
# failed command, not the tool's own prefilled header taken for a reply, and data cut short past
# the data offset is a short read, saved as a partial dump.
# limit: 240
host_up || { fail host "cannot mount the host's file system"; return; }
in_host wineserver -p
wine_drive 0 "$(ls /sys/block/sda/device/scsi_generic)"
KEY='HKLM\System\CurrentControlSet\Services\winedisk'
returned() { # BYTES ("-": no limit)
  if [ "$1" = - ]; then
    in_host /usr/lib/wine/wine64 reg delete "$KEY" /v Returned1 /f >/dev/null 2>&1
  else
    in_host /usr/lib/wine/wine64 reg add "$KEY" /v Returned1 /t REG_DWORD /d "$1" /f >/dev/null 2>&1
  fi
}

# The first run of each loader starts Wine's services and the test driver.
for bits in 64 32; do
  run_exe warm$bits 150 $bits --version
done

yes 'jm_nvram slow' | head -c 512 >/tmp/jm_nvram.bin
for bits in 32 64; do
  bridge_start --units 0x100 --fault nvram-write:delay=5000 || return
  wine_drive 1 "$BR_SG"
  TOOL_FILES=/tmp/jm_nvram.bin run_exe slow-write$bits 90 $bits 1uy
  mark TIMING slow-write$bits "${DUR}s"
  check_eq slow-write$bits-exit "$RC" 1
  { banner; printf 'Drive      : 1(USB)\nCtrl/Fw version : jmABC_01_02_A0_FF\nFw size: 65536\nNvram ofs: 10c\n'; } |
    check_transcript slow-write$bits-transcript
  check_same slow-write$bits-sector "$(nvram_file 0x10c)" /tmp/jm_nvram.bin
  check_between slow-write$bits-seconds "$DUR" 5 30
  check_eq slow-write$bits-path "$(tr -d '\r' <$ERR)" \
    "jmreader: read Z:\\tmp\\run\\slow-write$bits\\jm_nvram.bin"

  # The header is 44 bytes from a 32-bit process, 56 from a 64-bit one; the sense area 24.
  data_at=68
  [ $bits = 64 ] && data_at=80
  bridge_start --units 4 || return
  wine_drive 1 "$BR_SG"
  returned 40
  run_exe no-header$bits 60 $bits 1y
  check_eq no-header$bits-exit "$RC" 1
  { banner; printf 'Drive      : 1(USB)\nIOCtl: failed 0xd!\nGet fw version error!\n'; } |
    check_transcript no-header$bits-transcript
  returned $((data_at + 100))
  run_exe cut-data$bits 60 $bits 1y
  check_eq cut-data$bits-exit "$RC" 1
  {
    banner
    printf 'Drive      : 1(USB)\nCtrl/Fw version : jmABC_01_02_A0_FF\nFw size: 1024\n'
    printf 'Fw block #0 short read: 100 of 1024 bytes\nFw block #0 read error\n'
    printf 'Nvram short read: 100 of 512 bytes!\nFw nvram read error\n'
    printf 'Fw+nvram saved to jmABC_01_02_A0_FF.partial.bin\n'
  } | check_transcript cut-data$bits-transcript
  expected_image /tmp/expected.bin fw:0:100 zero:1436
  check_same cut-data$bits-file $RUN/jmABC_01_02_A0_FF.partial.bin /tmp/expected.bin
  returned -
done

in_host wineserver -k
scenario_done
