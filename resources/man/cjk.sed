# The programs' help is Chinese, whose lines have no spaces where groff could break them, and look
# stretched when justified: give groff a break point after each punctuation mark (\:, which shows
# nothing), and align the text on the left only.
/^\.TH /a\
.ad l\
.nh
s/\([，。、；：）]\)/\1\\:/g
