# Dumps: the file is named from the bridge's identity and holds its firmware and NVRAM sector byte
# for byte; the bridge sees exactly the commands the tool must send.
# limit: 90

# units name version option: one dump per line.
while read -r units name version option; do
  id=dump-$units$option
  bridge_start --units "$units" --name "$name" --version "$version" \
    --nvram $((units + 12)) --nvram 524 || return
  run_tool "$id" 30 "${BR_DRIVE}y$option"
  check_eq "$id-exit" "$RC" 1
  [ "$id" = dump-256 ] && mark TIMING dump-64KiB-in-vm "${DUR}s"
  [ "$id" = dump-768 ] && mark TIMING dump-128KiB-in-vm "${DUR}s"

  image=jm${name}_$(
    IFS=.
    set -- $version
    printf '%02X_%02X_%02X_%02X' 0x$1 0x$2 0x$3 0x$4
  )
  kept=$units
  [ "$units" -gt 512 ] && kept=512
  {
    banner
    echo "Drive      : $BR_DRIVE(USB)"
    [ "$version" = 0.0.0.0 ] && echo "Used firmware from ROM"
    echo "Ctrl/Fw version : $image"
    echo "Fw size: $((units * 256))"
    [ "$units" -gt 512 ] && echo "Fw len too long, trunkated to 512"
    if [ "$option" = n ]; then
      echo "Fw saved to $image.bin"
    else
      echo "Fw+nvram saved to $image.bin"
    fi
  } | check_transcript "$id-transcript"

  if [ "$option" = n ]; then
    expected_dump "$kept" none /tmp/expected.bin
  else
    expected_dump "$kept" $((kept + 12)) /tmp/expected.bin
  fi
  check_same "$id-file" "$RUN/$image.bin" /tmp/expected.bin
  [ "$(ls "$RUN" | wc -l)" = 2 ] && pass "$id-one-file" || fail "$id-one-file" "$(ls "$RUN")"
  {
    trace_identify
    trace_descriptor
    trace_blocks "$kept"
    [ "$option" = n ] || trace_nvram read $((kept + 12))
  } | check_trace "$id-commands"
done <<'EOF_CASES'
256 ABC 01.02.A0.FF
5 XYZ 0.0.0.0
768 Q7r 10.0.3.9
512 ABC 01.02.A0.FF n
EOF_CASES

# Without Y the run ends with the key wait, which ends at once without a terminal.
bridge_start --units 4 || return
run_tool dump-keywait 30 "$BR_DRIVE"
check_eq dump-keywait-exit "$RC" 0
{
  banner
  echo "Drive      : $BR_DRIVE(USB)"
  echo "Ctrl/Fw version : jmABC_01_02_A0_FF"
  echo "Fw size: 1024"
  echo "Fw+nvram saved to jmABC_01_02_A0_FF.bin"
  echo ""
  echo "Press any key to exit"
} | check_transcript dump-keywait-transcript
expected_dump 4 16 /tmp/expected.bin
check_same dump-keywait-file "$RUN/jmABC_01_02_A0_FF.bin" /tmp/expected.bin

scenario_done
