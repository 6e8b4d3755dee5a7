# Meter descriptions and daemon configuration of the soak lines, sourced by
# soak.sh. Every time is absolute (Unix seconds from T0), so a simulator
# restarted on the same description serves the same registers, archives and
# journals: that is what lets the final comparison trust the reference run.
#
# line: name  speed  identifiers...
SOAK_LINES=(
  "merc-a 9600 1101 1102 1103 1104"
  "merc-b 19200 1201 1202 1203 1204"
  "iec 9600 2101 2102 2103 2104"
  "ce2727 9600 3101 3102 3103 3104"
)

# Faults per line (simulator --fault options). Rates are per answered
# request; several meters per line stay clean so the line always has work.
# A target is a meter address or name (CE2727 meters by name: k1...).
soak_faults() {
  case $1 in
    merc-a) echo "--fault silence:0.004:1 --fault badcrc:0.004:2 --fault truncate:0.004:2 --fault wrongaddr:0.003:3 --fault error:0.003:3 --fault delay:0.002:1" ;;
    merc-b) echo "--fault silence:0.002 --fault badcrc:0.002 --fault truncate:0.002 --fault error:0.001" ;;
    iec) echo "--fault silence:0.003 --fault badcrc:0.003 --fault truncate:0.002 --fault wrongaddr:0.002 --fault error:0.002 --fault delay:0.001" ;;
    ce2727) echo "--fault silence:0.003:k1 --fault badcrc:0.003:k2 --fault truncate:0.003:k2 --fault wrongaddr:0.002:k3 --fault error:0.003:k3 --fault delay:0.002:k1" ;;
  esac
}

# soak_meters LINE T0 -> simulator description on stdout
soak_meters() {
  local t0=$1 line=$2
  local d=86400
  local e=$t0 h1=$((t0 - 40 * d)) h2=$((t0 - 400 * d)) j1=$((t0 - 3 * d - 5000)) j2=$((t0 - d - 7000))
  case $line in
    merc-a | merc-b)
      local base=1
      [ "$line" = merc-b ] && base=11
      local models=(mercury230 mercury234 mercury236 mercury233)
      local pmode=(digit ascii digit digit)
      local pw=(111111 1234 111111 654321)
      echo '{"meters": ['
      for i in 0 1 2 3; do
        local a=$((base + i))
        local ext=""
        [ "${models[$i]}" = mercury234 ] && ext='"ext_archive": {"days": 20, "months": 12},'
        [ $i -gt 0 ] && echo ','
        cat <<EOF
  {"protocol": "mercury230", "name": "m$a", "address": $a, "password": "${pw[$i]}",
   "password_mode": "${pmode[$i]}", "serial": "410273$((10 + a))", "manufactured": "2021-03-15",
   "model": "${models[$i]}", $ext
   "voltage": [229.8$i, 231.0$i, 230.4$i], "current": [3.21$i, 2.10$i, 1.55$i],
   "power": [70$i.4, 46$i.8, 34$i.9], "reactive": [120.5, -35.2, 60.0], "frequency": 49.98,
   "tariff": $((1 + i % 2)), "energy_at": $e,
   "energy": {"A+": [3125$i.512, 1248$i.250, 0, 0], "A-": [12.004, 1.5, 0, 0],
              "R+": [4120.733, 1510.020, 0, 0], "R-": [85.310, 20.4, 0, 0]},
   "history": [{"at": $h2, "A+": [100, 50, 0, 0], "A-": [1, 0, 0, 0], "R+": [10, 5, 0, 0], "R-": [1, 0, 0, 0]},
               {"at": $h1, "A+": [2900$i, 1200$i, 0, 0], "A-": [12.004, 1.5, 0, 0], "R+": [3800, 1500, 0, 0], "R-": [80, 20.4, 0, 0]}],
   "profile": {"period": $([ $i = 2 ] && echo 60 || echo 30), "depth": 96},
   "journals": {"1": [{"first": $j1, "second": $((j1 - 900))}, {"first": $j2, "second": $((j2 - 600))}],
                "2": [{"first": $j2, "second": $((j2 + 30))}]}}
EOF
      done
      echo ']}'
      ;;
    iec)
      cat <<EOF
{"meters": [
  {"protocol": "iec61107", "name": "c1", "model": "ce301", "address": "1001", "serial": "009217010001",
   "voltage": [230.1, 229.9, 231.2], "current": [1.5, 2.5, 0.5], "power": [300, 500, 100],
   "tariff": 1, "energy_at": $e, "energy": {"A+": [1520.100, 2210.875, 0, 0]},
   "history": [{"at": $h1, "A+": [1400, 2050, 0, 0]}],
   "archive": {"days": 12, "months": 4}, "profile": {"period": 30, "days": 3},
   "journals": {"ACCES": [$j1], "PHASE": [{"start": $j2, "end": $((j2 + 600))}]}},
  {"protocol": "iec61107", "name": "c2", "model": "ce303", "address": "1002", "serial": "009217010002",
   "voltage": [230.5, 230.4, 230.3], "current": [1.1, 1.2, 1.3], "power": [250, 270, 290],
   "reactive": [30, 40, 50], "tariff": 2, "energy_at": $e,
   "energy": {"A+": [820.5, 640.25, 0, 0], "R+": [120.5, 60.25, 0, 0]},
   "history": [{"at": $h1, "A+": [700, 600, 0, 0], "R+": [100, 50, 0, 0]}],
   "archive": {"days": 12, "months": 4}, "profile": {"period": 60, "days": 3}},
  {"protocol": "iec61107", "name": "c3", "model": "ce308", "address": "1003", "serial": "011830800003",
   "password": "777777", "voltage": [57.7, 57.6, 57.8], "current": [1.2, 1.3, 1.1],
   "power": [68.2, 73.9, 66.1], "reactive": [12.1, 14.0, 10.9], "tariff": 1, "energy_at": $e,
   "energy": {"A+": [1520.1, 2210.8, 0, 0], "R+": [302.3, 441.1, 0, 0]},
   "history": [{"at": $h1, "A+": [1400, 2050, 0, 0], "R+": [280, 410, 0, 0]}],
   "archive": {"days": 12, "months": 4}, "profile": {"period": 60, "days": 3}},
  {"protocol": "iec61107", "name": "c4", "model": "ce102m", "address": "1004", "serial": "011734004",
   "layout": "compact", "naks": 1, "voltage": [229.5, 0, 0], "current": [4.2, 0, 0],
   "power": [960, 0, 0], "tariff": 1, "energy_at": $e, "energy": {"A+": [5230.25, 1200.5, 0, 0]},
   "history": [{"at": $h1, "A+": [5000, 1150, 0, 0]}],
   "archive": {"days": 12, "months": 4}, "profile": {"period": 30, "days": 3},
   "journals": {"LOG02": [$j2]}}
]}
EOF
      ;;
    ce2727)
      echo '{"meters": ['
      for i in 0 1 2 3; do
        [ $i -gt 0 ] && echo ','
        cat <<EOF
  {"protocol": "ce2727", "model": "ce2727a", "name": "k$((i + 1))", "address": $((2727001 + i)),
   "password": "1234567$i", "password_type": "hex", "serial": "901234$i", "manufactured": "2022-06-01",
   "voltage": [229.4, 231.2, 230.1], "current": [4.1, 3.2, 1.8], "power": [90$i, 700, 400],
   "reactive": [120, 80, 40], "frequency": 50.02, "tariff": 1, "energy_at": $e,
   "energy": {"A+": [1523$i.5, 7421.25, 0, 0], "R+": [3200, 1500, 0, 0]},
   "history": [{"at": $h2, "A+": [1000, 500, 0, 0], "R+": [200, 100, 0, 0]},
               {"at": $h1, "A+": [1400$i, 7000, 0, 0], "R+": [3000, 1400, 0, 0]}],
   "depth": {"days": 12, "months": 6, "profile_days": 3},
   "journals": {"0": [{"off": $j1, "on": $((j1 + 1200)), "code": 1}],
                "5": [{"start": $j2, "stop": $((j2 + 60)), "phase": 1, "min_voltage": 176.2, "drop": 23}]}}
EOF
      done
      echo ']}'
      ;;
  esac
}

# soak_config T0 PERIOD TTYDIR -> configuration server answers for every identifier
soak_config() {
  local period=$1 ttys=$2
  local first=1
  echo '{'
  for entry in "${SOAK_LINES[@]}"; do
    set -- $entry
    local line=$1 speed=$2
    shift 2
    local i=0
    for id in "$@"; do
      local man serial addr pw ptype=digit
      case $line in
        merc-a | merc-b)
          local a=$((i + 1))
          [ "$line" = merc-b ] && a=$((i + 11))
          man=$(echo mercury230 mercury234 mercury236 mercury233 | cut -d' ' -f$((i + 1)))
          serial="410273$((10 + a))"
          addr=$a
          pw=$(echo 111111 1234 111111 654321 | cut -d' ' -f$((i + 1)))
          [ $i = 1 ] && ptype=ascii
          ;;
        iec)
          man=$(echo ce301 ce303 ce308 ce102m | cut -d' ' -f$((i + 1)))
          serial=$(echo 009217010001 009217010002 011830800003 011734004 | cut -d' ' -f$((i + 1)))
          addr=$((1001 + i))
          pw=$([ $i = 2 ] && echo 777777 || echo "")
          ;;
        ce2727)
          man=ce2727a
          serial="901234$i"
          addr=$((2727001 + i))
          pw="1234567$i"
          ptype=hex
          ;;
      esac
      [ $first = 1 ] || echo ','
      first=0
      cat <<EOF
  "$id": {"manufacturer": "$man", "serial": "$serial", "net_address": "$addr",
          "password": "$pw", "password_type": "$ptype", "srv_tz": "0", "pu_tz": "0",
          "period_current": "$period",
          "port_params": {"name": "$ttys/tty-$line", "speed": "$speed", "data": "8",
                          "parity": "N", "stop": "1"}}
EOF
      i=$((i + 1))
    done
  done
  echo '}'
}
