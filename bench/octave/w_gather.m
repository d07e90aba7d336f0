a = single(0:10000018);
idx = mod((0:9999999) * 7919, 10000019) + 1;
tic; b = a(idx); t = toc;
report(t, b(1234568));
