a = single(mod((0:9999999) * 7919, 10000019));
tic; [m, i] = max(a); t = toc;
report(t, i - 1);
