# Shared by the benchmark scripts: a data folder with one server, one sender, one content and a
# list of numbered recipients.

body=$(python3 -c 'print(("Dear [= PARAM1 =], this is the monthly letter. " * 20).strip())')
gbk() { printf '%s' "$1" | iconv -f UTF-8 -t GBK; }
# The stored (scrambled) form of the password "s3cret".
password=$(python3 - <<'PY'
k = 9173
out = ""
for p in b"s3cret":
    c = p ^ (k >> 8)
    out += "%02X" % c
    k = ((k + c) * 8931 + 9457) % 65536
print(out)
PY
)
setup_data() { # folder port ssl count
  mkdir -p "$1"
  { printf '[%s]\r\n' "$(gbk 发送邮件服务器)"; printf '127.0.0.1=bench,%s,%s,%s\r\n' "$3" "$2" "$password"
    printf '[%s]\r\n' "$(gbk 显示内容)"; printf 'sender@example.com=Bench Sender\r\n'
    printf '[%s]\r\n' "$(gbk 邮件内容)"; printf 'Monthly letter=body.txt\r\n'
    printf '[%s]\r\n%s=0\r\n' "$(gbk 基本)" "$(gbk 要求回执)"; } > "$1/dispatra.ini"
  printf 'Hello,\r\n%s\r\nRegards\r\n' "$body" > "$1/body.txt"
  python3 -c "import sys; [print('r%d@example.org,Name%d' % (i, i)) for i in range($4)]" > "$1/list.txt"
}
