# The benchmark's Markdown table (run.sh): first file "name<TAB>label<TAB>check"
# per contender in table order, second the results, one run a line:
#   name round wall cpu user sys rss_kib status
# Runs that failed (status not 0) are left out; ratios to the floor pair each
# run with the floor's run of the same round.

function median(list, n,    v, i, j, t) {
  n = split(list, v, " ")
  for (i = 2; i <= n; i++)
    for (j = i; j > 1 && v[j - 1] + 0 > v[j] + 0; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
  lo = v[1]; hi = v[n]
  return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
}

function range(list,    m) {
  if (list == "") return "-"
  m = median(list)
  return sprintf("%.3f (%.3f–%.3f)", m, lo, hi)
}

FNR == NR { order[++count] = $1; label[$1] = $2; check[$1] = $3; next }

{
  split($0, f, " ")
  if (f[8] != 0) next
  wall[f[1]] = wall[f[1]] " " f[3]
  cpu[f[1]] = cpu[f[1]] " " f[4]
  rss[f[1]] = rss[f[1]] " " f[7]
  at[f[1], f[2]] = f[3]
  rounds[f[2]] = 1
}

END {
  for (i = 1; i <= count; i++) {
    name = order[i]
    ratios = ""
    for (r in rounds)
      if (((name, r) in at) && (("floor", r) in at) && at["floor", r] > 0)
        ratios = ratios " " at[name, r] / at["floor", r]
    if (wall[name] == "") {
      printf "| %s | failed | - | - | - | - | - | %s |\n", label[name], check[name]
      continue
    }
    m = median(wall[name])
    printf "| %s | %s | %s | %.1f | %.2f | %.0f | %s | %s |\n", label[name], range(wall[name]),
      range(cpu[name]), median(rss[name]) / 1024, lines / m / 1e6, bytes / m / 1e6,
      ratios == "" ? "-" : sprintf("%.1f", median(ratios)), check[name]
  }
}
