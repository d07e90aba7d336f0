a = single(mod((0:9999999) * 7919, 10000019));
tic; w = find(a > single(5000000)); count = numel(w); t = toc;
report(t, count + w(1001) - 1);
