// Seeded standard normal deviates for the projection.
//
// A projection matrix is fixed by its seed alone: numbers drawn exactly as
// numpy.random.default_rng(seed).standard_normal(shape, dtype=numpy.float32)
// draws them (PCG64 seeded through the SeedSequence algorithm, then the
// single-precision ziggurat method), so every process that projects the same
// kind of vector gets the same matrix without it ever being stored. The
// product folds each row in as soon as it is drawn, so no in_dim x out_dim
// matrix is held either.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orvane_composite {
namespace {

// Single-precision ziggurat tables for the standard normal distribution,
// 256 strips. The values are copied verbatim from NumPy's
// numpy/random/src/distributions/ziggurat_constants.h (Copyright (c) NumPy
// Developers, distributed under the BSD-3-Clause licence), because the draws
// must match NumPy's bit for bit.
// ki_float: acceptance thresholds on the 23-bit magnitude, wi_float: strip
// widths scaled by 2^-23, fi_float: the density at each strip edge.
constexpr std::uint32_t ki_float[256] = {
    0x007799ECUL, 0x00000000UL, 0x006045F5UL, 0x006D1AA8UL, 0x00728FB4UL, 0x007592AFUL, 0x00777A5CUL, 0x0078CA38UL,
    0x0079BF6BUL, 0x007A7A35UL, 0x007B0D2FUL, 0x007B83D4UL, 0x007BE597UL, 0x007C3788UL, 0x007C7D33UL, 0x007CB926UL,
    0x007CED48UL, 0x007D1B08UL, 0x007D437FUL, 0x007D678BUL, 0x007D87DBUL, 0x007DA4FCUL, 0x007DBF61UL, 0x007DD767UL,
    0x007DED5DUL, 0x007E0183UL, 0x007E1411UL, 0x007E2534UL, 0x007E3515UL, 0x007E43D5UL, 0x007E5193UL, 0x007E5E67UL,
    0x007E6A69UL, 0x007E75AAUL, 0x007E803EUL, 0x007E8A32UL, 0x007E9395UL, 0x007E9C72UL, 0x007EA4D5UL, 0x007EACC6UL,
    0x007EB44EUL, 0x007EBB75UL, 0x007EC243UL, 0x007EC8BCUL, 0x007ECEE8UL, 0x007ED4CCUL, 0x007EDA6BUL, 0x007EDFCBUL,
    0x007EE4EFUL, 0x007EE9DCUL, 0x007EEE94UL, 0x007EF31BUL, 0x007EF774UL, 0x007EFBA0UL, 0x007EFFA3UL, 0x007F037FUL,
    0x007F0736UL, 0x007F0ACAUL, 0x007F0E3CUL, 0x007F118FUL, 0x007F14C4UL, 0x007F17DCUL, 0x007F1ADAUL, 0x007F1DBDUL,
    0x007F2087UL, 0x007F233AUL, 0x007F25D7UL, 0x007F285DUL, 0x007F2AD0UL, 0x007F2D2EUL, 0x007F2F7AUL, 0x007F31B3UL,
    0x007F33DCUL, 0x007F35F3UL, 0x007F37FBUL, 0x007F39F3UL, 0x007F3BDCUL, 0x007F3DB7UL, 0x007F3F84UL, 0x007F4145UL,
    0x007F42F8UL, 0x007F449FUL, 0x007F463AUL, 0x007F47CAUL, 0x007F494EUL, 0x007F4AC8UL, 0x007F4C38UL, 0x007F4D9DUL,
    0x007F4EF9UL, 0x007F504CUL, 0x007F5195UL, 0x007F52D5UL, 0x007F540DUL, 0x007F553DUL, 0x007F5664UL, 0x007F5784UL,
    0x007F589CUL, 0x007F59ACUL, 0x007F5AB5UL, 0x007F5BB8UL, 0x007F5CB3UL, 0x007F5DA8UL, 0x007F5E96UL, 0x007F5F7EUL,
    0x007F605FUL, 0x007F613BUL, 0x007F6210UL, 0x007F62E0UL, 0x007F63AAUL, 0x007F646FUL, 0x007F652EUL, 0x007F65E8UL,
    0x007F669CUL, 0x007F674CUL, 0x007F67F6UL, 0x007F689CUL, 0x007F693CUL, 0x007F69D9UL, 0x007F6A70UL, 0x007F6B03UL,
    0x007F6B91UL, 0x007F6C1BUL, 0x007F6CA0UL, 0x007F6D21UL, 0x007F6D9EUL, 0x007F6E17UL, 0x007F6E8CUL, 0x007F6EFCUL,
    0x007F6F68UL, 0x007F6FD1UL, 0x007F7035UL, 0x007F7096UL, 0x007F70F3UL, 0x007F714CUL, 0x007F71A1UL, 0x007F71F2UL,
    0x007F723FUL, 0x007F7289UL, 0x007F72CFUL, 0x007F7312UL, 0x007F7350UL, 0x007F738BUL, 0x007F73C3UL, 0x007F73F6UL,
    0x007F7427UL, 0x007F7453UL, 0x007F747CUL, 0x007F74A1UL, 0x007F74C3UL, 0x007F74E0UL, 0x007F74FBUL, 0x007F7511UL,
    0x007F7524UL, 0x007F7533UL, 0x007F753FUL, 0x007F7546UL, 0x007F754AUL, 0x007F754BUL, 0x007F7547UL, 0x007F753FUL,
    0x007F7534UL, 0x007F7524UL, 0x007F7511UL, 0x007F74F9UL, 0x007F74DEUL, 0x007F74BEUL, 0x007F749AUL, 0x007F7472UL,
    0x007F7445UL, 0x007F7414UL, 0x007F73DFUL, 0x007F73A5UL, 0x007F7366UL, 0x007F7323UL, 0x007F72DAUL, 0x007F728DUL,
    0x007F723AUL, 0x007F71E3UL, 0x007F7186UL, 0x007F7123UL, 0x007F70BBUL, 0x007F704DUL, 0x007F6FD9UL, 0x007F6F5FUL,
    0x007F6EDFUL, 0x007F6E58UL, 0x007F6DCBUL, 0x007F6D37UL, 0x007F6C9CUL, 0x007F6BF9UL, 0x007F6B4FUL, 0x007F6A9CUL,
    0x007F69E2UL, 0x007F691FUL, 0x007F6854UL, 0x007F677FUL, 0x007F66A1UL, 0x007F65B8UL, 0x007F64C6UL, 0x007F63C8UL,
    0x007F62C0UL, 0x007F61ABUL, 0x007F608AUL, 0x007F5F5DUL, 0x007F5E21UL, 0x007F5CD8UL, 0x007F5B7FUL, 0x007F5A17UL,
    0x007F589EUL, 0x007F5713UL, 0x007F5575UL, 0x007F53C4UL, 0x007F51FEUL, 0x007F5022UL, 0x007F4E2FUL, 0x007F4C22UL,
    0x007F49FAUL, 0x007F47B6UL, 0x007F4553UL, 0x007F42CFUL, 0x007F4028UL, 0x007F3D5AUL, 0x007F3A64UL, 0x007F3741UL,
    0x007F33EDUL, 0x007F3065UL, 0x007F2CA4UL, 0x007F28A4UL, 0x007F245FUL, 0x007F1FCEUL, 0x007F1AEAUL, 0x007F15A9UL,
    0x007F1000UL, 0x007F09E4UL, 0x007F0346UL, 0x007EFC16UL, 0x007EF43EUL, 0x007EEBA8UL, 0x007EE237UL, 0x007ED7C8UL,
    0x007ECC2FUL, 0x007EBF37UL, 0x007EB09DUL, 0x007EA00AUL, 0x007E8D0DUL, 0x007E7710UL, 0x007E5D47UL, 0x007E3E93UL,
    0x007E1959UL, 0x007DEB2CUL, 0x007DB036UL, 0x007D6203UL, 0x007CF4B9UL, 0x007C4FD2UL, 0x007B3630UL, 0x0078D2D2UL};

constexpr float wi_float[256] = {
    4.66198677960027669255e-07f, 2.56588335019207033255e-08f, 3.41146697750176784592e-08f, 4.00230311410932959821e-08f,
    4.47179475877737745459e-08f, 4.86837785973537366722e-08f, 5.21562578925932412861e-08f, 5.52695199001886257153e-08f,
    5.81078488992733116465e-08f, 6.07279932024587421409e-08f, 6.31701613261172047795e-08f, 6.54639842900233842742e-08f,
    6.76319905583641815324e-08f, 6.96917493470166688656e-08f, 7.16572544283857476692e-08f, 7.35398519048393832969e-08f,
    7.53488822443557479279e-08f, 7.70921367281667127885e-08f, 7.87761895947956022626e-08f, 8.04066446825615346857e-08f,
    8.19883218760237408659e-08f, 8.35254002936857088917e-08f, 8.50215298165053411740e-08f, 8.64799190652369040985e-08f,
    8.79034055989140110861e-08f, 8.92945125124233511541e-08f, 9.06554945027956262312e-08f, 9.19883756905278607229e-08f,
    9.32949809202232869780e-08f, 9.45769618559625849039e-08f, 9.58358188855612866442e-08f, 9.70729196232813152662e-08f,
    9.82895146313061088986e-08f, 9.94867508514382224721e-08f, 1.00665683139461669691e-07f, 1.01827284217853923044e-07f,
    1.02972453302539369464e-07f, 1.04102023612124921572e-07f, 1.05216768930574060431e-07f, 1.06317409364335657741e-07f,
    1.07404616410877866490e-07f, 1.08479017436113134283e-07f, 1.09541199642370962438e-07f, 1.10591713595628691212e-07f,
    1.11631076370069356306e-07f, 1.12659774359245895023e-07f, 1.13678265795837113569e-07f, 1.14686983015899673063e-07f,
    1.15686334498432158725e-07f, 1.16676706706789039179e-07f, 1.17658465754873988919e-07f, 1.18631958917986203582e-07f,
    1.19597516005596215528e-07f, 1.20555450611113917226e-07f, 1.21506061251817163689e-07f, 1.22449632410483948386e-07f,
    1.23386435488872536840e-07f, 1.24316729681986364321e-07f, 1.25240762781015530062e-07f, 1.26158771911939892267e-07f,
    1.27070984215989333455e-07f, 1.27977617477468922011e-07f, 1.28878880703854958297e-07f, 1.29774974662539874521e-07f,
    1.30666092378141980504e-07f, 1.31552419593887221722e-07f, 1.32434135200211397569e-07f, 1.33311411633413359243e-07f,
    1.34184415246907777059e-07f, 1.35053306657377859830e-07f, 1.35918241067904315860e-07f, 1.36779368569952053923e-07f,
    1.37636834425917531047e-07f, 1.38490779333783508675e-07f, 1.39341339675287344817e-07f, 1.40188647748881762555e-07f,
    1.41032831988654882776e-07f, 1.41874017170273235693e-07f, 1.42712324604921442006e-07f, 1.43547872322127921816e-07f,
    1.44380775242292721080e-07f, 1.45211145339665544509e-07f, 1.46039091796461362146e-07f, 1.46864721148745476208e-07f,
    1.47688137424670065700e-07f, 1.48509442275598857119e-07f, 1.49328735100614641423e-07f, 1.50146113164867617390e-07f,
    1.50961671712187416111e-07f, 1.51775504072350982845e-07f, 1.52587701763369746341e-07f, 1.53398354589133671168e-07f,
    1.54207550732725568797e-07f, 1.55015376845697999657e-07f, 1.55821918133584372604e-07f, 1.56627258437898192833e-07f,
    1.57431480314857468671e-07f, 1.58234665111056041043e-07f, 1.59036893036289199880e-07f, 1.59838243233728855017e-07f,
    1.60638793847630850137e-07f, 1.61438622088746393909e-07f, 1.62237804297600106296e-07f, 1.63036416005787357730e-07f,
    1.63834531995435479082e-07f, 1.64632226356965902954e-07f, 1.65429572545287097020e-07f, 1.66226643434541294491e-07f,
    1.67023511371523209274e-07f, 1.67820248227882200051e-07f, 1.68616925451215588827e-07f, 1.69413614115155757272e-07f,
    1.70210384968549673733e-07f, 1.71007308483826142122e-07f, 1.71804454904642543391e-07f, 1.72601894292900061024e-07f,
    1.73399696575213681990e-07f, 1.74197931588920988271e-07f, 1.74996669127712165834e-07f, 1.75795978986961275677e-07f,
    1.76595931008838063924e-07f, 1.77396595127278238022e-07f, 1.78198041412889183130e-07f, 1.79000340117867431104e-07f,
    1.79803561721004406185e-07f, 1.80607776972855859813e-07f, 1.81413056941151359868e-07f, 1.82219473056520464354e-07f,
    1.83027097158612474240e-07f, 1.83836001542687613069e-07f, 1.84646259006759307383e-07f, 1.85457942899367347876e-07f,
    1.86271127168064649331e-07f, 1.87085886408701333260e-07f, 1.87902295915592424729e-07f, 1.88720431732658022414e-07f,
    1.89540370705627262627e-07f, 1.90362190535400839128e-07f, 1.91185969832669990437e-07f, 1.92011788173893651535e-07f,
    1.92839726158739913768e-07f, 1.93669865469102145482e-07f, 1.94502288929804890433e-07f, 1.95337080571120616772e-07f,
    1.96174325693223683314e-07f, 1.97014110932714374919e-07f, 1.97856524331352952716e-07f, 1.98701655407150388211e-07f,
    1.99549595227971635348e-07f, 2.00400436487814600236e-07f, 2.01254273585938820883e-07f, 2.02111202709026498408e-07f,
    2.02971321916571014951e-07f, 2.03834731229698846698e-07f, 2.04701532723644121196e-07f, 2.05571830624108885378e-07f,
    2.06445731407757185541e-07f, 2.07323343907107312957e-07f, 2.08204779420104330037e-07f, 2.09090151824673600213e-07f,
    2.09979577698577670508e-07f, 2.10873176444920111011e-07f, 2.11771070423665379388e-07f, 2.12673385089569268965e-07f,
    2.13580249136944118603e-07f, 2.14491794651713402832e-07f, 2.15408157271244625533e-07f, 2.16329476352486921685e-07f,
    2.17255895148978920488e-07f, 2.18187560997337924713e-07f, 2.19124625513888206785e-07f, 2.20067244802139479285e-07f,
    2.21015579671883851683e-07f, 2.21969795870742159701e-07f, 2.22930064329060010376e-07f, 2.23896561419128954210e-07f,
    2.24869469229791575583e-07f, 2.25848975857580322189e-07f, 2.26835275715640744118e-07f, 2.27828569861799901001e-07f,
    2.28829066347263833069e-07f, 2.29836980587561823183e-07f, 2.30852535757505260518e-07f, 2.31875963212094114516e-07f,
    2.32907502935486642699e-07f, 2.33947404020352726160e-07f, 2.34995925180156140289e-07f, 2.36053335297164516378e-07f,
    2.37119914009265667728e-07f, 2.38195952338983970691e-07f, 2.39281753368440712742e-07f, 2.40377632964396957621e-07f,
    2.41483920557958384709e-07f, 2.42600959984018662258e-07f, 2.43729110386077326413e-07f, 2.44868747192698939290e-07f,
    2.46020263172594533433e-07f, 2.47184069576113545901e-07f, 2.48360597371852893654e-07f, 2.49550298588131851232e-07f,
    2.50753647770270890721e-07f, 2.51971143565970967140e-07f, 2.53203310452642767375e-07f, 2.54450700622322097890e-07f,
    2.55713896041856770961e-07f, 2.56993510708419870887e-07f, 2.58290193123138874550e-07f, 2.59604629008804833146e-07f,
    2.60937544301314385690e-07f, 2.62289708448800566945e-07f, 2.63661938057441759882e-07f, 2.65055100928844238758e-07f,
    2.66470120540847889467e-07f, 2.67907981031821866252e-07f, 2.69369732758258246335e-07f, 2.70856498507068313229e-07f,
    2.72369480457841388042e-07f, 2.73909968006952220135e-07f, 2.75479346585437289399e-07f, 2.77079107626811561009e-07f,
    2.78710859870496796972e-07f, 2.80376342222588603820e-07f, 2.82077438439999912690e-07f, 2.83816193958769527230e-07f,
    2.85594835255375795814e-07f, 2.87415792215003905739e-07f, 2.89281724087851835900e-07f, 2.91195549750371467233e-07f,
    2.93160483161771875581e-07f, 2.95180075129332912389e-07f, 2.97258262785797916083e-07f, 2.99399428561531794298e-07f,
    3.01608470935804138388e-07f, 3.03890889921758510417e-07f, 3.06252891144972267537e-07f, 3.08701513613258141075e-07f,
    3.11244787989714509378e-07f, 3.13891934589336184321e-07f, 3.16653613755314681314e-07f, 3.19542246256559459667e-07f,
    3.22572428717978242099e-07f, 3.25761480217458181578e-07f, 3.29130173358915628534e-07f, 3.32703730345002116955e-07f,
    3.36513208964639108346e-07f, 3.40597478255417943913e-07f, 3.45006114675213401550e-07f, 3.49803789521323211592e-07f,
    3.55077180848341416206e-07f, 3.60946392031859609868e-07f, 3.67584959507244041831e-07f, 3.75257645787954431030e-07f,
    3.84399301057791926300e-07f, 3.95804015855768440983e-07f, 4.11186015434435801956e-07f, 4.35608969373823260746e-07f};

constexpr float fi_float[256] = {
    1.00000000000000000000e+00f, 9.77101701267671596263e-01f, 9.59879091800106665211e-01f, 9.45198953442299649730e-01f,
    9.32060075959230460718e-01f, 9.19991505039347012840e-01f, 9.08726440052130879366e-01f, 8.98095921898343418910e-01f,
    8.87984660755833377088e-01f, 8.78309655808917399966e-01f, 8.69008688036857046555e-01f, 8.60033621196331532488e-01f,
    8.51346258458677951353e-01f, 8.42915653112204177333e-01f, 8.34716292986883434679e-01f, 8.26726833946221373317e-01f,
    8.18929191603702366642e-01f, 8.11307874312656274185e-01f, 8.03849483170964274059e-01f, 7.96542330422958966274e-01f,
    7.89376143566024590648e-01f, 7.82341832654802504798e-01f, 7.75431304981187174974e-01f, 7.68637315798486264740e-01f,
    7.61953346836795386565e-01f, 7.55373506507096115214e-01f, 7.48892447219156820459e-01f, 7.42505296340151055290e-01f,
    7.36207598126862650112e-01f, 7.29995264561476231435e-01f, 7.23864533468630222401e-01f, 7.17811932630721960535e-01f,
    7.11834248878248421200e-01f, 7.05928501332754310127e-01f, 7.00091918136511615067e-01f, 6.94321916126116711609e-01f,
    6.88616083004671808432e-01f, 6.82972161644994857355e-01f, 6.77388036218773526009e-01f, 6.71861719897082099173e-01f,
    6.66391343908750100056e-01f, 6.60975147776663107813e-01f, 6.55611470579697264149e-01f, 6.50298743110816701574e-01f,
    6.45035480820822293424e-01f, 6.39820277453056585060e-01f, 6.34651799287623608059e-01f, 6.29528779924836690007e-01f,
    6.24450015547026504592e-01f, 6.19414360605834324325e-01f, 6.14420723888913888899e-01f, 6.09468064925773433949e-01f,
    6.04555390697467776029e-01f, 5.99681752619125263415e-01f, 5.94846243767987448159e-01f, 5.90047996332826008015e-01f,
    5.85286179263371453274e-01f, 5.80559996100790898232e-01f, 5.75868682972353718164e-01f, 5.71211506735253227163e-01f,
    5.66587763256164445025e-01f, 5.61996775814524340831e-01f, 5.57437893618765945014e-01f, 5.52910490425832290562e-01f,
    5.48413963255265812791e-01f, 5.43947731190026262382e-01f, 5.39511234256952132426e-01f, 5.35103932380457614215e-01f,
    5.30725304403662057062e-01f, 5.26374847171684479008e-01f, 5.22052074672321841931e-01f, 5.17756517229756352272e-01f,
    5.13487720747326958914e-01f, 5.09245245995747941592e-01f, 5.05028667943468123624e-01f, 5.00837575126148681903e-01f,
    4.96671569052489714213e-01f, 4.92530263643868537748e-01f, 4.88413284705458028423e-01f, 4.84320269426683325253e-01f,
    4.80250865909046753544e-01f, 4.76204732719505863248e-01f, 4.72181538467730199660e-01f, 4.68180961405693596422e-01f,
    4.64202689048174355069e-01f, 4.60246417812842867345e-01f, 4.56311852678716434184e-01f, 4.52398706861848520777e-01f,
    4.48506701507203064949e-01f, 4.44635565395739396077e-01f, 4.40785034665803987508e-01f, 4.36954852547985550526e-01f,
    4.33144769112652261445e-01f, 4.29354541029441427735e-01f, 4.25583931338021970170e-01f, 4.21832709229495894654e-01f,
    4.18100649837848226120e-01f, 4.14387534040891125642e-01f, 4.10693148270188157500e-01f, 4.07017284329473372217e-01f,
    4.03359739221114510510e-01f, 3.99720314980197222177e-01f, 3.96098818515832451492e-01f, 3.92495061459315619512e-01f,
    3.88908860018788715696e-01f, 3.85340034840077283462e-01f, 3.81788410873393657674e-01f, 3.78253817245619183840e-01f,
    3.74736087137891138443e-01f, 3.71235057668239498696e-01f, 3.67750569779032587814e-01f, 3.64282468129004055601e-01f,
    3.60830600989648031529e-01f, 3.57394820145780500731e-01f, 3.53974980800076777232e-01f, 3.50570941481406106455e-01f,
    3.47182563956793643900e-01f, 3.43809713146850715049e-01f, 3.40452257044521866547e-01f, 3.37110066637006045021e-01f,
    3.33783015830718454708e-01f, 3.30470981379163586400e-01f, 3.27173842813601400970e-01f, 3.23891482376391093290e-01f,
    3.20623784956905355514e-01f, 3.17370638029913609834e-01f, 3.14131931596337177215e-01f, 3.10907558126286509559e-01f,
    3.07697412504292056035e-01f, 3.04501391976649993243e-01f, 3.01319396100803049698e-01f, 2.98151326696685481377e-01f,
    2.94997087799961810184e-01f, 2.91856585617095209972e-01f, 2.88729728482182923521e-01f, 2.85616426815501756042e-01f,
    2.82516593083707578948e-01f, 2.79430141761637940157e-01f, 2.76356989295668320494e-01f, 2.73297054068577072172e-01f,
    2.70250256365875463072e-01f, 2.67216518343561471038e-01f, 2.64195763997261190426e-01f, 2.61187919132721213522e-01f,
    2.58192911337619235290e-01f, 2.55210669954661961700e-01f, 2.52241126055942177508e-01f, 2.49284212418528522415e-01f,
    2.46339863501263828249e-01f, 2.43408015422750312329e-01f, 2.40488605940500588254e-01f, 2.37581574431238090606e-01f,
    2.34686861872330010392e-01f, 2.31804410824338724684e-01f, 2.28934165414680340644e-01f, 2.26076071322380278694e-01f,
    2.23230075763917484855e-01f, 2.20396127480151998723e-01f, 2.17574176724331130872e-01f, 2.14764175251173583536e-01f,
    2.11966076307030182324e-01f, 2.09179834621125076977e-01f, 2.06405406397880797353e-01f, 2.03642749310334908452e-01f,
    2.00891822494656591136e-01f, 1.98152586545775138971e-01f, 1.95425003514134304483e-01f, 1.92709036903589175926e-01f,
    1.90004651670464985713e-01f, 1.87311814223800304768e-01f, 1.84630492426799269756e-01f, 1.81960655599522513892e-01f,
    1.79302274522847582272e-01f, 1.76655321443734858455e-01f, 1.74019770081838553999e-01f, 1.71395595637505754327e-01f,
    1.68782774801211288285e-01f, 1.66181285764481906364e-01f, 1.63591108232365584074e-01f, 1.61012223437511009516e-01f,
    1.58444614155924284882e-01f, 1.55888264724479197465e-01f, 1.53343161060262855866e-01f, 1.50809290681845675763e-01f,
    1.48286642732574552861e-01f, 1.45775208005994028060e-01f, 1.43274978973513461566e-01f, 1.40785949814444699690e-01f,
    1.38308116448550733057e-01f, 1.35841476571253755301e-01f, 1.33386029691669155683e-01f, 1.30941777173644358090e-01f,
    1.28508722279999570981e-01f, 1.26086870220185887081e-01f, 1.23676228201596571932e-01f, 1.21276805484790306533e-01f,
    1.18888613442910059947e-01f, 1.16511665625610869035e-01f, 1.14145977827838487895e-01f, 1.11791568163838089811e-01f,
    1.09448457146811797824e-01f, 1.07116667774683801961e-01f, 1.04796225622487068629e-01f, 1.02487158941935246892e-01f,
    1.00189498768810017482e-01f, 9.79032790388624646338e-02f, 9.56285367130089991594e-02f, 9.33653119126910124859e-02f,
    9.11136480663737591268e-02f, 8.88735920682758862021e-02f, 8.66451944505580717859e-02f, 8.44285095703534715916e-02f,
    8.22235958132029043366e-02f, 8.00305158146630696292e-02f, 7.78493367020961224423e-02f, 7.56801303589271778804e-02f,
    7.35229737139813238622e-02f, 7.13779490588904025339e-02f, 6.92451443970067553879e-02f, 6.71246538277884968737e-02f,
    6.50165779712428976156e-02f, 6.29210244377581412456e-02f, 6.08381083495398780614e-02f, 5.87679529209337372930e-02f,
    5.67106901062029017391e-02f, 5.46664613248889208474e-02f, 5.26354182767921896513e-02f, 5.06177238609477817000e-02f,
    4.86135532158685421122e-02f, 4.66230949019303814174e-02f, 4.46465522512944634759e-02f, 4.26841449164744590750e-02f,
    4.07361106559409394401e-02f, 3.88027074045261474722e-02f, 3.68842156885673053135e-02f, 3.49809414617161251737e-02f,
    3.30932194585785779961e-02f, 3.12214171919203004046e-02f, 2.93659397581333588001e-02f, 2.75272356696031131329e-02f,
    2.57058040085489103443e-02f, 2.39022033057958785407e-02f, 2.21170627073088502113e-02f, 2.03510962300445102935e-02f,
    1.86051212757246224594e-02f, 1.68800831525431419000e-02f, 1.51770883079353092332e-02f, 1.34974506017398673818e-02f,
    1.18427578579078790488e-02f, 1.02149714397014590439e-02f, 8.61658276939872638800e-03f, 7.05087547137322242369e-03f,
    5.52240329925099155545e-03f, 4.03797259336302356153e-03f, 2.60907274610215926189e-03f, 1.26028593049859797236e-03f};

// ---------------------------------------------------------------------------
// SeedSequence (entropy = one 32-bit word, no spawn key, pool of 4 words)
// ---------------------------------------------------------------------------

constexpr std::uint32_t kInitA = 0x43b0d7e5u;
constexpr std::uint32_t kMultA = 0x931e8875u;
constexpr std::uint32_t kInitB = 0x8b51f9ddu;
constexpr std::uint32_t kMultB = 0x58f38dedu;
constexpr std::uint32_t kMixMultL = 0xca01f9ddu;
constexpr std::uint32_t kMixMultR = 0x4973f715u;
constexpr int kPoolSize = 4;

// The hash of the pool (kMultA) and of the output (kMultB): each call moves
// the running constant on.
std::uint32_t hashmix(std::uint32_t value, std::uint32_t& hash_const, std::uint32_t mult = kMultA) {
    value ^= hash_const;
    hash_const *= mult;
    value *= hash_const;
    value ^= value >> 16;
    return value;
}

std::uint32_t mix(std::uint32_t x, std::uint32_t y) {
    std::uint32_t r = kMixMultL * x - kMixMultR * y;
    r ^= r >> 16;
    return r;
}

// The first `n` 64-bit words of SeedSequence(seed).generate_state(n, uint64).
void seed_sequence_state(std::uint32_t seed, std::uint64_t* out, int n) {
    std::uint32_t pool[kPoolSize];
    std::uint32_t hash_const = kInitA;
    // An integer entropy below 2**32 is the single word [seed] (0 included);
    // the rest of the pool is filled by running the hash on zeros.
    for (int i = 0; i < kPoolSize; ++i) pool[i] = hashmix(i == 0 ? seed : 0u, hash_const);
    for (int src = 0; src < kPoolSize; ++src)
        for (int dst = 0; dst < kPoolSize; ++dst)
            if (src != dst) pool[dst] = mix(pool[dst], hashmix(pool[src], hash_const));

    std::uint32_t h = kInitB;
    for (int k = 0; k < 2 * n; ++k) {
        const std::uint32_t v = hashmix(pool[k % kPoolSize], h, kMultB);
        // 32-bit words pair up little-endian into 64-bit ones.
        if (k % 2 == 0)
            out[k / 2] = v;
        else
            out[k / 2] |= static_cast<std::uint64_t>(v) << 32;
    }
}

// ---------------------------------------------------------------------------
// PCG64: 128-bit LCG with XSL-RR output
// ---------------------------------------------------------------------------

using u128 = unsigned __int128;

constexpr u128 kPcgMultiplier = (static_cast<u128>(2549297995355413924ull) << 64) | 4865540595714422341ull;
constexpr int kLanes = 4;

inline std::uint64_t xsl_rr(u128 state) {
    const std::uint64_t hi = static_cast<std::uint64_t>(state >> 64);
    const std::uint64_t lo = static_cast<std::uint64_t>(state);
    const unsigned rot = static_cast<unsigned>(hi >> 58);
    const std::uint64_t x = hi ^ lo;
    return (x >> rot) | (x << ((64u - rot) & 63u));
}

// The 32-bit draws of numpy's PCG64 in the order it hands them out: each
// 64-bit output serves two draws, its low half first. They are produced a
// block at a time from kLanes interleaved copies of the LCG, each stepping
// kLanes states at once, so that several 128-bit multiplications are in
// flight instead of one long chain. Words drawn beyond the last one used are
// simply dropped with the generator.
class DrawStream {
  public:
    explicit DrawStream(std::uint32_t seed) {
        std::uint64_t w[4];
        seed_sequence_state(seed, w, 4);
        const u128 initstate = (static_cast<u128>(w[0]) << 64) | w[1];
        const u128 initseq = (static_cast<u128>(w[2]) << 64) | w[3];
        const u128 inc = (initseq << 1) | 1u;
        auto step = [inc](u128 s) { return s * kPcgMultiplier + inc; };
        // Seeding: a step from 0, initstate added, another step.
        u128 state = step(step(0) + initstate);
        // lane_[k] holds the state whose output comes k-th in each group.
        u128 mult = 1, add = 0;
        for (int k = 0; k < kLanes; ++k) {
            state = step(state);
            lane_[k] = state;
            add = step(add);
            mult *= kPcgMultiplier;
        }
        lane_mult_ = mult;  // kLanes steps: s -> mult * s + add
        lane_add_ = add;
    }

    std::uint32_t next32() {
        if (__builtin_expect(pos_ == kBlock, 0)) refill();
        return words_[pos_++];
    }

    // A float in [0, 1) from the top 24 bits of a draw.
    float next_float() { return static_cast<float>(next32() >> 8) * (1.0f / 16777216.0f); }

    // Bulk access for the hot loop: the words not yet drawn from the
    // current block (refilled when empty), and how many of them were used.
    const std::uint32_t* pending(std::size_t* count) {
        if (pos_ == kBlock) refill();
        *count = static_cast<std::size_t>(kBlock - pos_);
        return words_ + pos_;
    }
    void consume(std::size_t count) { pos_ += static_cast<int>(count); }

  private:
    static constexpr int kBlock = 512;  // 32-bit words

    void refill() {
        for (int i = 0; i < kBlock; i += 2 * kLanes) {
            for (int k = 0; k < kLanes; ++k) {
                const std::uint64_t out = xsl_rr(lane_[k]);
                words_[i + 2 * k] = static_cast<std::uint32_t>(out);
                words_[i + 2 * k + 1] = static_cast<std::uint32_t>(out >> 32);
                lane_[k] = lane_[k] * lane_mult_ + lane_add_;
            }
        }
        pos_ = 0;
    }

    u128 lane_[kLanes];
    u128 lane_mult_;
    u128 lane_add_;
    int pos_ = kBlock;
    std::uint32_t words_[kBlock];
};

// ---------------------------------------------------------------------------
// Single-precision ziggurat
// ---------------------------------------------------------------------------

constexpr float kTailStart = 3.6541528853610087963519472518f;      // r
constexpr float kInvTailStart = 0.27366123732975827203338247596f;  // 1 / r

// The draws that miss the rectangle of their strip (under 1% of them): the
// tail beyond r for strip 0, otherwise the wedge test against the density,
// starting over with a fresh draw when the wedge rejects.
[[gnu::noinline]] float standard_normal_slow(DrawStream& g, std::uint32_t r);

// x = rabs * wi_float[idx], negated when bit 8 of the draw is set: the
// sign flip is done on the bits, which is exactly what negation does.
inline float strip_value(std::uint32_t r, std::uint32_t idx, std::uint32_t rabs) {
    const float x = static_cast<float>(rabs) * wi_float[idx];
    return std::bit_cast<float>(std::bit_cast<std::uint32_t>(x) ^ ((r & 0x100u) << 23));
}

// out[0..n) = the next n deviates. Runs of draws that land inside their
// strip's rectangle are taken straight from the block of words.
void fill_standard_normal(DrawStream& g, float* out, std::size_t n) {
    std::size_t k = 0;
    while (k < n) {
        std::size_t avail;
        const std::uint32_t* words = g.pending(&avail);
        const std::size_t take = avail < n - k ? avail : n - k;
        std::size_t i = 0;
        for (; i < take; ++i) {
            const std::uint32_t r = words[i];
            const std::uint32_t idx = r & 0xffu;
            const std::uint32_t rabs = (r >> 9) & 0x007fffffu;
            if (__builtin_expect(rabs >= ki_float[idx], 0)) break;
            out[k + i] = strip_value(r, idx, rabs);
        }
        g.consume(i);
        k += i;
        if (i < take) out[k++] = standard_normal_slow(g, g.next32());
    }
}

float standard_normal_slow(DrawStream& g, std::uint32_t r) {
    for (;;) {
        const std::uint32_t idx = r & 0xffu;
        const std::uint32_t rabs = (r >> 9) & 0x007fffffu;
        const float x = strip_value(r, idx, rabs);
        if (rabs < ki_float[idx]) return x;  // only after a wedge rejection
        if (idx == 0) {
            for (;;) {
                // log1p(-u) rather than log(1 - u), as the reference does;
                // u may be 0 but never 1.
                const float xx = -kInvTailStart * std::log1p(-g.next_float());
                const float yy = -std::log1p(-g.next_float());
                if (yy + yy > xx * xx) return ((rabs >> 8) & 1u) ? -(kTailStart + xx) : kTailStart + xx;
            }
        }
        // A float compared with the density computed in double.
        const float u = g.next_float();
        if ((fi_float[idx - 1] - fi_float[idx]) * u + fi_float[idx] < std::exp(-0.5 * x * x)) return x;
        r = g.next32();
    }
}

#if defined(__SSE2__)
// row[0] and row[1] widened to double.
inline __m128d two_floats(const float* row) {
    return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(row))));
}
#endif

// acc[j] += xi * (row[j] / scale) for every j: W's row in double, folded
// in. With Recip the scale is a power of two (in_dim 4, 16, 64, 256, ...),
// which divides exactly, so multiplying by its reciprocal gives the same
// bits, faster.
template <bool Recip>
void fold_row_by(double* acc, const float* row, std::size_t n, double xi, double scale) {
    const double s = Recip ? 1.0 / scale : scale;
    std::size_t j = 0;
#if defined(__SSE2__)
    const __m128d vx = _mm_set1_pd(xi);
    const __m128d vs = _mm_set1_pd(s);
    for (; j + 2 <= n; j += 2) {
        const __m128d w = Recip ? _mm_mul_pd(two_floats(row + j), vs) : _mm_div_pd(two_floats(row + j), vs);
        _mm_storeu_pd(acc + j, _mm_add_pd(_mm_loadu_pd(acc + j), _mm_mul_pd(vx, w)));
    }
#endif
    for (; j < n; ++j) acc[j] += xi * (Recip ? static_cast<double>(row[j]) * s : static_cast<double>(row[j]) / s);
}

void fold_row(double* acc, const float* row, std::size_t n, double xi, double scale) {
    int exp2;
    if (std::frexp(scale, &exp2) == 0.5)
        fold_row_by<true>(acc, row, n, xi, scale);
    else
        fold_row_by<false>(acc, row, n, xi, scale);
}

}  // namespace

void standard_normal_f32(std::uint32_t seed, float* out, std::size_t n) {
    DrawStream g(seed);
    fill_standard_normal(g, out, n);
}

bool seeded_projection(std::uint32_t seed, const float* x, std::size_t in_dim, std::size_t out_dim, float* row,
                       double* acc, float* y, bool (*checkpoint)(void*), void* ctx) {
    if (out_dim == 0) return true;  // an empty matrix: nothing is drawn
    DrawStream g(seed);
    if (in_dim == 1) {
        // A scale of exactly 1.0 keeps W and the product in single
        // precision: one rounded product per value.
        fill_standard_normal(g, y, out_dim);
        const float x0 = x[0];
        for (std::size_t j = 0; j < out_dim; ++j) y[j] = x0 * y[j];
        return true;
    }
    // in_dim >= 2: W = N / sqrt(in_dim) and the sums are in double; each row
    // of N is drawn, scaled and folded in before the next one is drawn.
    const double scale = std::sqrt(static_cast<double>(in_dim));
    // About a million deviates between checkpoints.
    const std::size_t rows_per_check = out_dim >= (1u << 20) ? 1 : (1u << 20) / out_dim;
    for (std::size_t j = 0; j < out_dim; ++j) acc[j] = 0.0;
    for (std::size_t i = 0; i < in_dim; ++i) {
        if (checkpoint != nullptr && i != 0 && i % rows_per_check == 0 && !checkpoint(ctx)) return false;
        fill_standard_normal(g, row, out_dim);
        fold_row(acc, row, out_dim, static_cast<double>(x[i]), scale);
    }
    for (std::size_t j = 0; j < out_dim; ++j) y[j] = static_cast<float>(acc[j]);
    return true;
}

}  // namespace orvane_composite
